// korvel-sim: a simulated adapter on a pseudo-terminal (or a serial device), on
// the command line.
#include "exchange_log.h"
#include "release_version.h"
#include "sim_behaviour.h"
#include "sim_options.h"
#include "wine_port_link.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

using namespace korvel::simtool;

constexpr int kExitStopped = 0;
constexpr int kExitSetupFailed = 1;
constexpr int kExitUsage = 2;

constexpr std::chrono::milliseconds kStopPollInterval{20};
// After the last request of --exit-after: time for the host to read the
// reply before the port goes away (the library polls every 10 ms).
constexpr std::chrono::milliseconds kLastReplyGrace{200};

volatile std::sig_atomic_t g_stop_requested = 0;

void request_stop(int) { g_stop_requested = 1; }

void stop_on_signals() {
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM}) {
    sigaction(signal, &action, nullptr);
  }
}

// Written under another name and renamed, so that a reader never sees half.
std::string write_port_file(const std::string &path, const std::string &port) {
  const std::string partial = path + ".partial";
  {
    std::ofstream file(partial);
    file << port << '\n';
    if (!file.flush()) {
      return "cannot write " + partial;
    }
  }
  std::error_code error;
  std::filesystem::rename(partial, path, error);
  return error ? "cannot rename " + partial + " to " + path + ": " + error.message() : "";
}

int fail_setup(const std::string &why) {
  std::fprintf(stderr, "korvel-sim: %s\n", why.c_str());
  return kExitSetupFailed;
}

// Serves requests until a signal, or until enough have been answered.
void serve_until_stopped(const korvel::sim::PtyAdapter &adapter, const SimOptions &options,
                         const std::atomic<std::size_t> &answered) {
  std::size_t bad_requests_seen = 0;
  while (g_stop_requested == 0) {
    if (options.exit_after > 0 && answered >= options.exit_after) {
      std::this_thread::sleep_for(kLastReplyGrace);
      return;
    }
    for (; bad_requests_seen < adapter.bad_request_count(); ++bad_requests_seen) {
      std::printf("%s request with a bad CRC, not answered\n", timestamp_now().c_str());
    }
    std::this_thread::sleep_for(kStopPollInterval);
  }
}

std::unique_ptr<korvel::sim::PtyAdapter> make_adapter(const SimOptions &options) {
  if (options.device.empty()) {
    return std::make_unique<korvel::sim::PtyAdapter>(make_behaviour(options));
  }
  return std::make_unique<korvel::sim::PtyAdapter>(korvel::sim::SerialDevice{options.device},
                                                   make_behaviour(options));
}

} // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const ParsedOptions parsed = parse_options(argc, argv);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "korvel-sim: %s\n\n", parsed.error.c_str());
    print_usage(stderr);
    return kExitUsage;
  }
  const SimOptions &options = parsed.options;
  if (options.help) {
    print_usage(stdout);
    return kExitStopped;
  }
  if (options.show_version) {
    std::printf("korvel-sim %s\n", korvel::tools::kReleaseVersion);
    return kExitStopped;
  }
  stop_on_signals();

  std::atomic<std::size_t> answered{0};
  try {
    const std::unique_ptr<korvel::sim::PtyAdapter> serving = make_adapter(options);
    korvel::sim::PtyAdapter &adapter = *serving;
    // Both go before the adapter, the listing first: a scan never finds a
    // listed port whose link is gone, nor a link to a closed (and perhaps
    // reused) pseudo-terminal.
    WinePortLink wine_link;
    WinePortListing wine_listing;
    adapter.set_observer([&answered, &options](const korvel::sim::Exchange &exchange) {
      std::printf("%s %s\n", timestamp_now().c_str(), describe_exchange(exchange).c_str());
      if (options.show_wire) {
        std::printf("%s\n", describe_wire(exchange).c_str());
      }
      ++answered;
    });
    std::printf("korvel-sim: port %s (device %s)\n", adapter.port_name().c_str(),
                adapter.device_path().c_str());
    if (options.wine_com) {
      const std::filesystem::path prefix = options.wine_prefix.empty()
                                               ? default_wine_prefix()
                                               : std::filesystem::path(options.wine_prefix);
      const auto com = static_cast<unsigned>(*options.wine_com);
      // Checked before Wine runs, which would make a prefix where there is none.
      if (std::string why = wine_prefix_problem(prefix); !why.empty()) {
        return fail_setup(why);
      }
      // Listed before the link is made: a Wine server that the listing starts
      // links the ports Wine found (COM1 to /dev/ttyS0) over earlier links.
      if (std::string why = wine_listing.add(prefix, com); why.empty()) {
        std::printf("korvel-sim: COM%u listed in %s as %s\n", com, kSerialCommKey,
                    wine_listing.value_name().c_str());
      } else {
        std::fprintf(stderr, "korvel-sim: COM%u not listed in %s, so a scan will not find it: %s\n",
                     com, kSerialCommKey, why.c_str());
      }
      if (std::string why = wine_link.create(prefix, com, adapter.device_path()); !why.empty()) {
        return fail_setup(why);
      }
      std::printf("korvel-sim: COM%u is %s\n", com, wine_link.path().c_str());
    }
    if (!options.port_file.empty()) {
      if (std::string why = write_port_file(options.port_file, adapter.port_name()); !why.empty()) {
        return fail_setup(why);
      }
    }
    serve_until_stopped(adapter, options, answered);
    adapter.set_observer(nullptr);
    std::printf("korvel-sim: served %zu requests, %zu with a bad CRC not answered\n",
                adapter.request_count(), adapter.bad_request_count());
  } catch (const std::exception &error) {
    return fail_setup(error.what());
  }
  if (!options.port_file.empty()) {
    std::error_code ignored;
    std::filesystem::remove(options.port_file, ignored);
  }
  return kExitStopped;
}
