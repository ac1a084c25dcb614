// Call latency and CPU cost of the shared library's transactions, against
// the simulated adapter on a pseudo-terminal, which answers at once.
//
// A successful call cannot be faster than the settle delay that ends every
// exchange. The reply is not yet queued when the receiver first looks (the
// request has only just been written), so one poll interval passes as well:
// the floor is the settle delay plus one poll interval.
//
// Usage: korvel_latency [json-path]. Prints a report, writes the figures as
// JSON when given a path, and exits 1 if a call fails or a criterion is
// missed.
#include "exchange.h"
#include "korvel_dll.h"
#include "link/receiver.h"
#include "plain_byte.h"
#include "sim_adapter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

constexpr int kCalls = 300;
constexpr int kWarmUpCalls = 5;
constexpr std::int32_t kCommandBytes = 32;
constexpr double kFloorMs = korvel::kSettleDelayMs + korvel::link::kPollIntervalMs;
constexpr double kLowerEndMs = korvel::kSettleDelayMs;
constexpr double kMedianToleranceMs = 2.0;
constexpr double kCpuLimitMs = 1.0;

double clock_ms(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct Summary {
  const char *call;
  int failures = 0;
  double median_ms = 0;
  double p90_ms = 0;
  double max_ms = 0;
  double min_ms = 0;
  // The whole process, the simulated adapter's thread included.
  double process_cpu_ms = 0;
  // The calling thread alone: the library's own cost.
  double thread_cpu_ms = 0;
  bool median_ok = false;
  bool cpu_ok = false;
};

// Nearest rank of a sorted sample.
double percentile(const std::vector<double> &sorted, double fraction) {
  const auto rank =
      static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

Summary measure(const char *call, const std::function<std::int32_t()> &run_once) {
  Summary summary{call};
  for (int i = 0; i < kWarmUpCalls; ++i) {
    summary.failures += run_once() == MDB_IF_OK ? 0 : 1;
  }
  std::vector<double> wall_ms;
  const double process_start = clock_ms(CLOCK_PROCESS_CPUTIME_ID);
  const double thread_start = clock_ms(CLOCK_THREAD_CPUTIME_ID);
  for (int i = 0; i < kCalls; ++i) {
    const double started = clock_ms(CLOCK_MONOTONIC);
    summary.failures += run_once() == MDB_IF_OK ? 0 : 1;
    wall_ms.push_back(clock_ms(CLOCK_MONOTONIC) - started);
  }
  summary.process_cpu_ms = (clock_ms(CLOCK_PROCESS_CPUTIME_ID) - process_start) / kCalls;
  summary.thread_cpu_ms = (clock_ms(CLOCK_THREAD_CPUTIME_ID) - thread_start) / kCalls;
  std::sort(wall_ms.begin(), wall_ms.end());
  summary.median_ms = percentile(wall_ms, 0.5);
  summary.p90_ms = percentile(wall_ms, 0.9);
  summary.max_ms = wall_ms.back();
  summary.min_ms = wall_ms.front();
  summary.median_ok = std::fabs(summary.median_ms - kFloorMs) <= kMedianToleranceMs;
  summary.cpu_ok = summary.process_cpu_ms < kCpuLimitMs && summary.thread_cpu_ms < kCpuLimitMs;
  return summary;
}

const char *verdict(bool ok) { return ok ? "PASS" : "FAIL"; }

void print_report(const std::vector<Summary> &summaries) {
  std::printf("%d calls each (after %d warm-up calls); times in ms\n\n", kCalls, kWarmUpCalls);
  std::printf("%-22s %7s %7s %7s %7s %7s %7s %12s %12s %9s\n", "call", "median", "p90", "max",
              "min", "floor", "lower", "CPU process", "CPU thread", "failures");
  for (const Summary &s : summaries) {
    std::printf("%-22s %7.2f %7.2f %7.2f %7.2f %7.0f %7.0f %12.3f %12.3f %9d\n", s.call,
                s.median_ms, s.p90_ms, s.max_ms, s.min_ms, kFloorMs, kLowerEndMs, s.process_cpu_ms,
                s.thread_cpu_ms, s.failures);
  }
  std::printf("\nCPU process: CPU time of the whole process per call, the simulated adapter's\n"
              "thread included. CPU thread: the calling thread's alone.\n\n");
  for (const Summary &s : summaries) {
    std::printf("%s: median within %.0f ms of the %.0f ms floor: %s; CPU per call under %.0f ms "
                "(process and thread): %s; all calls succeeded: %s\n",
                s.call, kMedianToleranceMs, kFloorMs, verdict(s.median_ok), kCpuLimitMs,
                verdict(s.cpu_ok), verdict(s.failures == 0));
  }
}

bool write_json(const char *path, const std::vector<Summary> &summaries) {
  std::FILE *file = std::fopen(path, "w");
  if (file == nullptr) {
    return false;
  }
  std::fprintf(file, "[\n");
  for (std::size_t i = 0; i < summaries.size(); ++i) {
    const Summary &s = summaries[i];
    std::fprintf(file,
                 "  {\"call\": \"%s\", \"calls\": %d, \"failures\": %d, \"median_ms\": %.4f, "
                 "\"p90_ms\": %.4f, \"max_ms\": %.4f, \"min_ms\": %.4f, \"floor_ms\": %.1f, "
                 "\"lower_end_ms\": %.1f, "
                 "\"median_tolerance_ms\": %.1f, \"cpu_limit_ms\": %.1f, "
                 "\"process_cpu_ms_per_call\": %.4f, \"thread_cpu_ms_per_call\": %.4f, "
                 "\"median_ok\": %s, \"cpu_ok\": %s}%s\n",
                 s.call, kCalls, s.failures, s.median_ms, s.p90_ms, s.max_ms, s.min_ms, kFloorMs,
                 kLowerEndMs, kMedianToleranceMs, kCpuLimitMs, s.process_cpu_ms, s.thread_cpu_ms,
                 s.median_ok ? "true" : "false", s.cpu_ok ? "true" : "false",
                 i + 1 < summaries.size() ? "," : "");
  }
  std::fprintf(file, "]\n");
  return std::fclose(file) == 0;
}

} // namespace

int main(int argc, char **argv) {
  korvel::sim::PtyAdapter adapter;
  MDB_IF_HANDLE handle = nullptr;
  if (MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle) != MDB_IF_OK) {
    std::fprintf(stderr, "cannot open %s\n", adapter.device_path().c_str());
    return 1;
  }
  std::printf("libkorvel_dll.so against the simulated adapter on %s\n",
              adapter.device_path().c_str());

  char version[64];
  const std::vector<std::uint8_t> command(kCommandBytes, korvel::bench::kPlainByte);
  std::uint8_t reply[MDB_IF_MAX_REPLY_PAYLOAD];
  const std::vector<Summary> summaries = {
      measure("MDB_IF_GetVersion",
              [&] { return MDB_IF_GetVersion(handle, version, sizeof(version)); }),
      measure("MDB_IF_ExecCommand/32", [&] {
        std::int32_t length = sizeof(reply);
        return MDB_IF_ExecCommand(handle, command.data(), kCommandBytes, reply, &length);
      })};
  MDB_IF_CloseInterface(handle);

  print_report(summaries);
  if (argc > 1 && !write_json(argv[1], summaries)) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  const bool passed = std::all_of(summaries.begin(), summaries.end(), [](const Summary &s) {
    return s.failures == 0 && s.median_ok && s.cpu_ok;
  });
  return passed ? 0 : 1;
}
