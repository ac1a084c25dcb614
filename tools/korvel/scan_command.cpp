#include "scan_command.h"

#include "call_report.h"
#include "interrupt.h"
#include "port_facts.h"
#include "probe_watch.h"
#include "results.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

namespace korvel::cli {
namespace {

using Clock = std::chrono::steady_clock;

// What a scan spends on a port that does not answer: the 500 ms silence
// timeout and the 20 ms pause after it.
constexpr double kSilentProbeSeconds = 0.52;
constexpr std::chrono::milliseconds kWatchInterval{10};
// Polls between two drawings of the progress line.
constexpr int kPollsPerDrawing = 10;
// Put into the host's buffer before the scan: the library leaves the buffer
// as it was only when it lists no port at all.
constexpr char kUntouched = '\x01';

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

struct Probe {
  std::string name;
  bool seen = false;
  Clock::time_point first;
  Clock::time_point last;
};

// Follows the scan from a thread of its own while the library probes: tells
// each probe's outcome as the next one starts (under -v) and draws a
// progress line on a terminal.
class ScanFollower {
public:
  ScanFollower(const std::vector<std::string> &names, bool verbose, bool terminal)
      : verbose_(verbose), terminal_(terminal), can_see_(can_see_open_devices()) {
    for (const std::string &name : names) {
      probes_.push_back({name, false, {}, {}});
    }
  }
  ~ScanFollower() { stop(); }
  ScanFollower(const ScanFollower &) = delete;
  ScanFollower &operator=(const ScanFollower &) = delete;

  void start() {
    if (probes_.empty() || (!terminal_ && !(verbose_ && can_see_))) {
      return;
    }
    baseline_ = open_devices();
    started_ = Clock::now();
    thread_ = std::thread([this] { watch(); });
  }

  void stop() {
    stopping_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  // Once the scan is over: the outcome of every probe not told yet. found is
  // the adapter's place in the list, if any.
  void tell_rest(std::optional<std::size_t> found) {
    for (std::size_t i = told_; i < probes_.size(); ++i) {
      if (found && i == *found) {
        tell(i, "identified itself as the adapter");
      } else if (found && i > *found) {
        tell(i, "not probed: the scan stops at the first adapter", false);
      } else {
        tell(i, "did not identify itself");
      }
    }
  }

private:
  void watch() {
    for (int polls = 0; !stopping_; ++polls) {
      if (can_see_) {
        poll();
      }
      if (terminal_ && polls % kPollsPerDrawing == 0) {
        draw();
      }
      std::this_thread::sleep_for(kWatchInterval);
    }
    if (can_see_) {
      poll();
    }
    clear_progress();
  }

  // Which listed port the library has open now. Once a later one is open,
  // every earlier probe is over, without the adapter.
  void poll() {
    const std::vector<std::string> open = open_devices();
    const auto is_open = [&](const std::string &path) {
      return std::count(open.begin(), open.end(), path) >
             std::count(baseline_.begin(), baseline_.end(), path);
    };
    for (std::size_t i = told_; i < probes_.size(); ++i) {
      if (!is_open(probe_path(probes_[i].name))) {
        continue;
      }
      Probe &probe = probes_[i];
      probe.last = Clock::now();
      if (!probe.seen) {
        probe.seen = true;
        probe.first = probe.last;
      }
      for (std::size_t earlier = told_; earlier < i; ++earlier) {
        tell(earlier, "did not identify itself");
      }
      current_ = i;
      return;
    }
  }

  void tell(std::size_t index, const char *outcome, bool probed = true) {
    told_ = std::max(told_, index + 1);
    if (!verbose_) {
      return;
    }
    const Probe &probe = probes_[index];
    clear_progress();
    std::printf("  %s: %s", probe.name.c_str(), outcome);
    if (probe.seen) {
      std::printf(" (open %.2f s)", seconds(probe.last - probe.first + kWatchInterval));
    } else if (can_see_ && probed) {
      std::printf(" (never seen open: refused at the open, or over at once)");
    }
    std::printf("\n");
    std::fflush(stdout);
  }

  void draw() {
    const double elapsed = seconds(Clock::now() - started_);
    char line[160];
    if (current_) {
      std::snprintf(line, sizeof(line), "probing %s, port %zu of %zu, %.1f s",
                    probes_[*current_].name.c_str(), *current_ + 1, probes_.size(), elapsed);
    } else {
      std::snprintf(line, sizeof(line), "scanning %s, %.1f s of about %.1f s if all are silent",
                    port_count(probes_.size()).c_str(), elapsed,
                    kSilentProbeSeconds * static_cast<double>(probes_.size()));
    }
    const std::string text = line;
    std::printf("\r%-*s", static_cast<int>(std::max(drawn_, text.size())), text.c_str());
    std::fflush(stdout);
    drawn_ = text.size();
  }

  void clear_progress() {
    if (drawn_ > 0) {
      std::printf("\r%*s\r", static_cast<int>(drawn_), "");
      std::fflush(stdout);
      drawn_ = 0;
    }
  }

  std::vector<Probe> probes_;
  const bool verbose_;
  const bool terminal_;
  const bool can_see_;
  std::vector<std::string> baseline_;
  std::optional<std::size_t> current_;
  // The probes before this one have been told.
  std::size_t told_ = 0;
  Clock::time_point started_;
  std::size_t drawn_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

std::string joined(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

void announce(const PortListing &listing, const std::vector<std::string> &names, bool verbose) {
  if (!listing.read) {
    std::printf("the port list could not be read: %s\n", listing.failure.c_str());
    return;
  }
  const std::size_t left_out = listing.ports.size() - names.size();
  if (names.empty()) {
    std::printf("no port to probe");
  } else {
    std::printf("probing %s, about %.1f s each if silent, in this order: %s",
                port_count(names.size()).c_str(), kSilentProbeSeconds, joined(names).c_str());
  }
  if (left_out > 0 && !verbose) {
    std::printf(" (%zu left out: korvel -v ports says why)", left_out);
  }
  std::printf("\n");
  if (verbose) {
    for (const PortFacts &facts : listing.ports) {
      if (!facts.scanned) {
        std::printf("  left out: %s: %s\n", facts.name.c_str(), facts.left_out.c_str());
      }
    }
  }
  std::fflush(stdout);
}

} // namespace

int run_scan(const Invocation &invocation, const PortListing &listing) {
  const std::vector<std::string> names = scanned_names(listing);
  announce(listing, names, invocation.verbose);

  char name[MDB_IF_PORT_NAME_BUFFER] = {kUntouched};
  ScanFollower follower(names, invocation.verbose, output_is_terminal());
  std::optional<std::size_t> found_at;
  bool found = false;
  bool probed_none = false;
  const std::int32_t result = report_call(
      "MDB_IF_ScanInterface", invocation.verbose,
      [&] {
        follower.start();
        const std::int32_t scanned = MDB_IF_ScanInterface(name);
        follower.stop();
        found = scanned == MDB_IF_OK && name[0] != kUntouched && name[0] != '\0';
        probed_none = scanned == MDB_IF_OK && !found && (name[0] == kUntouched || names.empty());
        if (found) {
          const auto at = std::find(names.begin(), names.end(), std::string(name));
          found_at = at == names.end() ? std::nullopt : std::optional(at - names.begin());
        }
        if (scanned == MDB_IF_OK && (!found || found_at)) {
          follower.tell_rest(found_at);
        }
        return scanned;
      },
      [&](std::int32_t scanned) -> std::string {
        if (scanned != MDB_IF_OK) {
          return result_meaning(scanned);
        }
        if (found) {
          return "the scan ran: an adapter identified itself";
        }
        return probed_none ? "the scan ran, but no port was listed: nothing was probed"
                           : "the scan ran: no port identified itself";
      });
  stop_if_asked();
  if (result != MDB_IF_OK) {
    return exit_status_for(result);
  }
  if (found) {
    std::printf("adapter on %s\n", name);
    return kExitSuccess;
  }
  if (probed_none) {
    std::printf("nothing was probed: %s\n", nothing_probed_hint(listing).c_str());
  } else {
    std::printf("no adapter answered: none of the %s probed identified itself\n",
                port_count(names.size()).c_str());
  }
  return kExitNothingFound;
}

} // namespace korvel::cli
