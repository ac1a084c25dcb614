#include "call_report.h"

#include "results.h"

#include <chrono>
#include <cstdio>

namespace korvel::cli {

std::int32_t report_call(const std::string &call, bool verbose,
                         const std::function<std::int32_t()> &make_call,
                         const std::function<std::string(std::int32_t)> &meaning) {
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  const std::int32_t result = make_call();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  const std::string words = meaning ? meaning(result) : result_meaning(result);
  std::printf("%s -> %d (%s)", call.c_str(), static_cast<int>(result), words.c_str());
  if (verbose) {
    std::printf(" in %lld ms", static_cast<long long>(ms));
  }
  std::printf("\n");
  return result;
}

} // namespace korvel::cli
