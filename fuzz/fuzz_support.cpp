#include "fuzz_support.h"

#include "reference_codec.h"

#include <cstdio>

namespace korvel::fuzz {

void check(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    __builtin_trap();
  }
}

port::Handle open_fake_interface(port::fake::FakePort &line) {
  char path[port::kDevicePathSize];
  check(port::make_device_path(line.name.c_str(), port::Role::Interface, path),
        "the fake port name forms a device path");
  const port::Handle handle = port::open_port(path);
  check(handle != port::invalid_handle(), "the fake port opens");
  return handle;
}

port::fake::FailurePlan failing_calls(std::uint8_t mask) {
  constexpr int kBitsInMask = 8;
  return [mask](int nth) { return ((mask >> (nth % kBitsInMask)) & 1U) != 0; };
}

} // namespace korvel::fuzz

// Both fuzzers first make sure the reference model still reproduces the
// worked examples: a model that drifted would judge every input wrongly.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  korvel::fuzz::check(korvel::fuzz::reference_self_check(),
                      "the reference model reproduces the worked examples");
  return 0;
}
