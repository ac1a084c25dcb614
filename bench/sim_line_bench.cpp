// The simulated adapter's own costs on the line:
//
// - How long a byte takes through the tap (korvel-sim --tap, recording a
//   transcript as it goes), both ways: single bytes one at a time, and the
//   last byte of a 256-byte burst. The path is two pseudo-terminals with the
//   tap between them; one pseudo-terminal alone is measured too, so that the
//   tap's own share shows.
// - How soon korvel-sim's port opens again after a client that held it was
//   killed (SIGKILL) without closing it, the next client trying every
//   millisecond.
//
// Usage: korvel_sim_line [json-path]. Prints a report, writes the figures as
// JSON when given a path, and exits 1 if a criterion is missed.
#include "korvel_dll.h"
#include "line_tap.h"
#include "session_record.h"
#include "sim_adapter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace sim = korvel::sim;

constexpr int kSingleBytes = 2000;
constexpr int kBursts = 200;
constexpr std::size_t kBurstBytes = 256;
constexpr int kKilledClients = 20;
// The tap's own delay per byte must stay under this; the check is on the
// 99th percentile through the whole path, pseudo-terminals included.
constexpr double kTapLimitMs = 1.0;
// The port opens again within this after its holder was killed.
constexpr double kReopenLimitMs = 1000.0;
constexpr std::chrono::milliseconds kReopenRetry{1};
constexpr int kReadTimeoutMs = 2000;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::max<std::size_t>(rank, 1) - 1];
}

struct Figures {
  std::string name;
  double median_ms = 0;
  double p99_ms = 0;
  double max_ms = 0;
  int samples = 0;
};

Figures figures_of(std::string name, const std::vector<double> &ms) {
  return {std::move(name), percentile(ms, 0.5), percentile(ms, 0.99),
          *std::max_element(ms.begin(), ms.end()), static_cast<int>(ms.size())};
}

void make_raw(int fd) {
  termios raw{};
  tcgetattr(fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(fd, TCSANOW, &raw);
}

// Writes the bytes at once and returns how long until the last of them came
// out at the other end; negative if they did not.
double pass_time_ms(int into, int out_of, const std::uint8_t *bytes, std::size_t count) {
  const Clock::time_point start = Clock::now();
  if (write(into, bytes, count) != static_cast<ssize_t>(count)) {
    return -1;
  }
  std::uint8_t buffer[kBurstBytes];
  for (std::size_t got = 0; got < count;) {
    pollfd readable{out_of, POLLIN, 0};
    if (poll(&readable, 1, kReadTimeoutMs) <= 0) {
      return -1;
    }
    const ssize_t now = read(out_of, buffer, sizeof(buffer));
    if (now <= 0) {
      return -1;
    }
    got += static_cast<std::size_t>(now);
  }
  return ms_since(start);
}

std::vector<double> repeat(int times, int into, int out_of, std::size_t count, bool &failed) {
  std::vector<std::uint8_t> bytes(count);
  std::vector<double> ms;
  for (int i = 0; i < times; ++i) {
    std::fill(bytes.begin(), bytes.end(), static_cast<std::uint8_t>(i));
    const double took = pass_time_ms(into, out_of, bytes.data(), count);
    failed = failed || took < 0;
    ms.push_back(std::max(took, 0.0));
  }
  return ms;
}

struct TapRun {
  std::vector<Figures> figures;
  bool failed = false;
};

TapRun measure_tap() {
  TapRun run;
  // One pseudo-terminal alone, for comparison.
  int master = -1;
  int slave = -1;
  openpty(&master, &slave, nullptr, nullptr, nullptr);
  make_raw(slave);
  const auto direct = repeat(kSingleBytes, master, slave, 1, run.failed);
  close(master);
  close(slave);

  // The adapter's end: the bench holds the master, the tap opens the slave.
  int adapter_master = -1;
  int adapter_slave = -1;
  char adapter_name[64] = {};
  openpty(&adapter_master, &adapter_slave, adapter_name, nullptr, nullptr);
  make_raw(adapter_slave);
  std::unique_ptr<sim::Line> host = sim::open_own_line();
  const std::string host_path = host->device_path();
  const std::filesystem::path transcript_path =
      std::filesystem::temp_directory_path() /
      ("korvel-bench-" + std::to_string(getpid()) + ".txt");
  korvel::simtool::TranscriptFile transcript;
  if (!transcript.create(transcript_path.string(), "bench").empty()) {
    run.failed = true;
    return run;
  }
  korvel::simtool::TrafficRecord record(korvel::simtool::TrafficLines::Pieces::ByPauses,
                                        &transcript, nullptr);
  std::vector<double> to_adapter;
  std::vector<double> to_host;
  std::vector<double> burst_to_adapter;
  std::vector<double> burst_to_host;
  {
    sim::LineTap tap(std::move(host), sim::open_device_line(adapter_name),
                     [&record](const sim::Traffic &traffic) { record.add(traffic); });
    const int host_fd = open(host_path.c_str(), O_RDWR | O_NOCTTY);
    make_raw(host_fd);
    to_adapter = repeat(kSingleBytes, host_fd, adapter_master, 1, run.failed);
    to_host = repeat(kSingleBytes, adapter_master, host_fd, 1, run.failed);
    burst_to_adapter = repeat(kBursts, host_fd, adapter_master, kBurstBytes, run.failed);
    burst_to_host = repeat(kBursts, adapter_master, host_fd, kBurstBytes, run.failed);
    close(host_fd);
  }
  record.finish();
  std::filesystem::remove(transcript_path);
  close(adapter_master);
  close(adapter_slave);
  run.figures = {figures_of("one pseudo-terminal alone, 1 byte", direct),
                 figures_of("through the tap to the adapter, 1 byte", to_adapter),
                 figures_of("through the tap to the host, 1 byte", to_host),
                 figures_of("through the tap to the adapter, last of 256 bytes", burst_to_adapter),
                 figures_of("through the tap to the host, last of 256 bytes", burst_to_host)};
  return run;
}

struct ReopenRun {
  Figures figures;
  int refused_opens = 0; // opens refused before the first that succeeded
  bool failed = false;
};

// A client opens korvel-sim's port through the library and is killed
// holding it; the time is from the kill to the next successful open.
ReopenRun measure_reopen() {
  ReopenRun run;
  sim::PtyAdapter adapter;
  std::vector<double> ms;
  for (int i = 0; i < kKilledClients && !run.failed; ++i) {
    int opened[2];
    if (pipe(opened) != 0) {
      run.failed = true;
      break;
    }
    const pid_t client = fork();
    if (client == 0) {
      MDB_IF_HANDLE handle = nullptr;
      const char result =
          static_cast<char>(MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle));
      (void)!write(opened[1], &result, 1);
      pause();
      _exit(0);
    }
    char result = -1;
    run.failed = read(opened[0], &result, 1) != 1 || result != MDB_IF_OK;
    close(opened[0]);
    close(opened[1]);
    const Clock::time_point killed = Clock::now();
    kill(client, SIGKILL);
    waitpid(client, nullptr, 0);
    MDB_IF_HANDLE handle = MDB_IF_INVALID_HANDLE;
    while (MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle) != MDB_IF_OK) {
      ++run.refused_opens;
      if (ms_since(killed) > 2 * kReopenLimitMs) {
        run.failed = true;
        break;
      }
      std::this_thread::sleep_for(kReopenRetry);
    }
    ms.push_back(ms_since(killed));
    MDB_IF_CloseInterface(handle);
  }
  run.figures = figures_of("open after the holder was killed", ms);
  return run;
}

void print_figures(const Figures &f) {
  std::printf("  %-52s median %7.3f  p99 %7.3f  max %7.3f ms  (%d)\n", f.name.c_str(), f.median_ms,
              f.p99_ms, f.max_ms, f.samples);
}

void write_figures(std::FILE *file, const Figures &f, const char *end) {
  std::fprintf(file,
               "    {\"name\": \"%s\", \"median_ms\": %.4f, \"p99_ms\": %.4f, \"max_ms\": %.4f, "
               "\"samples\": %d}%s\n",
               f.name.c_str(), f.median_ms, f.p99_ms, f.max_ms, f.samples, end);
}

} // namespace

int main(int argc, char **argv) {
  const TapRun tap = measure_tap();
  const ReopenRun reopen = measure_reopen();
  if (tap.figures.empty()) {
    std::fprintf(stderr, "the tap could not be set up\n");
    return 1;
  }
  // The worst of the single bytes through the tap, both ways.
  const double tap_p99 = std::max(tap.figures[1].p99_ms, tap.figures[2].p99_ms);
  const double tap_own =
      std::max(tap.figures[1].median_ms, tap.figures[2].median_ms) - 2 * tap.figures[0].median_ms;
  const bool tap_ok = !tap.failed && tap_p99 < kTapLimitMs;
  const bool reopen_ok = !reopen.failed && reopen.figures.max_ms < kReopenLimitMs;

  std::printf("Bytes through korvel-sim's tap (recording), and a pseudo-terminal alone:\n");
  for (const Figures &f : tap.figures) {
    print_figures(f);
  }
  std::printf("  the tap's own share of a byte's median: about %.3f ms\n", tap_own);
  std::printf("A client killed holding korvel-sim's port, %d times:\n", kKilledClients);
  print_figures(reopen.figures);
  std::printf("  opens refused before the port was free again: %d in all\n\n",
              reopen.refused_opens);
  std::printf("p99 of a byte through the tap under %.0f ms: %s\n", kTapLimitMs,
              tap_ok ? "PASS" : "FAIL");
  std::printf("port open again within %.0f ms of the kill, every time: %s\n", kReopenLimitMs,
              reopen_ok ? "PASS" : "FAIL");

  if (argc > 1) {
    std::FILE *file = std::fopen(argv[1], "w");
    if (file == nullptr) {
      std::fprintf(stderr, "cannot write %s\n", argv[1]);
      return 1;
    }
    std::fprintf(file, "{\n  \"tap\": [\n");
    for (std::size_t i = 0; i < tap.figures.size(); ++i) {
      write_figures(file, tap.figures[i], i + 1 < tap.figures.size() ? "," : "");
    }
    std::fprintf(file,
                 "  ],\n  \"tap_own_median_ms\": %.4f, \"tap_p99_ms\": %.4f, "
                 "\"tap_limit_ms\": %.1f, \"tap_ok\": %s,\n  \"reopen\": [\n",
                 tap_own, tap_p99, kTapLimitMs, tap_ok ? "true" : "false");
    write_figures(file, reopen.figures, "");
    std::fprintf(file,
                 "  ],\n  \"reopen_refused_opens\": %d, \"reopen_limit_ms\": %.1f, "
                 "\"reopen_ok\": %s\n}\n",
                 reopen.refused_opens, kReopenLimitMs, reopen_ok ? "true" : "false");
    std::fclose(file);
  }
  return tap_ok && reopen_ok ? 0 : 1;
}
