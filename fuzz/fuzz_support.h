// Helpers shared by the fuzz targets.
#pragma once

#include "port/serial_port.h"
#include "serial_port_fake.h"

#include <cstdint>
#include <vector>

namespace korvel::fuzz {

// Reports the failed condition and stops the run, so that libFuzzer keeps the
// input that led here.
void check(bool condition, const char *what);

// Opens a declared fake port as an interface port.
port::Handle open_fake_interface(port::fake::FakePort &line);

// A failure plan that fails call n (1-based) when bit n % 8 of mask is set.
port::fake::FailurePlan failing_calls(std::uint8_t mask);

// A buffer with guard bytes on both sides of the part handed out, so that a
// write outside that part shows up afterwards.
class GuardedBuffer {
public:
  explicit GuardedBuffer(std::int32_t capacity);

  std::uint8_t *data() { return bytes_.data() + kGuardSize; }
  const std::uint8_t *data() const { return bytes_.data() + kGuardSize; }
  std::int32_t capacity() const { return capacity_; }

  // Whether everything outside the first `written` bytes of the handed-out
  // part still holds the fill pattern.
  bool untouched_beyond(std::int32_t written) const;

private:
  static constexpr std::int32_t kGuardSize = 16;
  static std::uint8_t fill_at(std::size_t index);

  std::int32_t capacity_;
  std::vector<std::uint8_t> bytes_;
};

} // namespace korvel::fuzz
