// korvel-sim: a simulated adapter on a pseudo-terminal (or a serial device,
// a COM port on Windows) on the command line; or, with --tap, a monitor
// between a host and a real adapter.
#include "exchange_log.h"
#include "line_tap.h"
#include "platform.h"
#include "port_publication.h"
#include "release_version.h"
#include "session_record.h"
#include "sim_behaviour.h"
#include "sim_options.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

using namespace korvel::simtool;
namespace sim = korvel::sim;

constexpr int kExitStopped = 0;
constexpr int kExitSetupFailed = 1;
constexpr int kExitUsage = 2;

constexpr std::chrono::milliseconds kStopPollInterval{20};
// After the last request of --exit-after: time for the host to read the
// reply before the port goes away (the library polls every 10 ms).
constexpr std::chrono::milliseconds kLastReplyGrace{200};

// A failure that ends korvel-sim before it serves.
struct SetupFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void check(const std::string &why) {
  if (!why.empty()) {
    throw SetupFailure(why);
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

std::unique_ptr<sim::Line> host_line(const SimOptions &options) {
  return options.device.empty() ? sim::open_own_line() : sim::open_device_line(options.device);
}

// "port pts/4 (device /dev/pts/4)"; a device's far end is the host's.
std::string describe_port(const std::string &port, const std::string &device, bool own) {
  return "port " + port + " (device " + device + ")" +
         (own ? "" : "; the host opens the other end of its line");
}

// Everything that makes the port known once the line is up: a Wine
// prefix's COM port, the port file. Published until it goes.
class Announcement {
public:
  Announcement(const SimOptions &options, const std::string &port, const std::string &device)
      : port_file_(options.port_file) {
    std::string why;
    publication_ = publish_port(options, device, why);
    check(why);
    if (!port_file_.empty()) {
      check(write_port_file(port_file_, port));
    }
  }
  ~Announcement() {
    if (!port_file_.empty()) {
      std::error_code ignored;
      std::filesystem::remove(port_file_, ignored);
    }
  }

private:
  std::unique_ptr<PortPublication> publication_;
  std::string port_file_;
};

std::unique_ptr<TranscriptFile> transcript_for(const SimOptions &options,
                                               const std::string &about) {
  if (options.record_path.empty()) {
    return nullptr;
  }
  auto transcript = std::make_unique<TranscriptFile>();
  check(transcript->create(options.record_path, "Recorded by korvel-sim " +
                                                    std::string(korvel::tools::kReleaseVersion) +
                                                    ", " + about + "."));
  return transcript;
}

// Runs until a stop is asked for, or until `done` says enough was served.
void run_until_stopped(const std::function<bool()> &done, const std::function<void()> &each_round) {
  while (!stop_requested()) {
    if (done()) {
      std::this_thread::sleep_for(kLastReplyGrace);
      return;
    }
    each_round();
    std::this_thread::sleep_for(kStopPollInterval);
  }
}

sim::Behaviour behaviour_for(const SimOptions &options, std::atomic<std::size_t> &unanswered) {
  if (options.replay_path.empty()) {
    return make_behaviour(options);
  }
  ReplayScript script;
  check(load_transcript(options.replay_path, script));
  say("korvel-sim: replaying " + count_of(script.exchanges.size(), "recorded exchange") + " from " +
      options.replay_path);
  if (script.unasked_lines > 0) {
    complain(count_of(script.unasked_lines, "line") +
             " to the host before the first request will not be played");
  }
  const std::string otherwise =
      options.answers_given ? "answered as the options say" : "not answered";
  return replaying(options, std::move(script), [&unanswered, otherwise](const std::string &why) {
    ++unanswered;
    say(timestamp_now() + " " + why + ", so " + otherwise);
  });
}

int serve(const SimOptions &options) {
  // Declared before the adapter, whose thread uses them until it stops.
  std::atomic<std::size_t> unanswered{0};
  std::atomic<std::size_t> answered{0};
  // The transcript is read first: a malformed one is refused before any
  // line is opened.
  sim::Behaviour behaviour = behaviour_for(options, unanswered);
  std::unique_ptr<sim::Line> line = host_line(options);
  const std::unique_ptr<TranscriptFile> transcript =
      transcript_for(options, "serving on " + line->device_path());
  TrafficRecord record(TrafficLines::Pieces::AsWritten, transcript.get(), nullptr);
  sim::PtyAdapter adapter(std::move(line), std::move(behaviour));
  if (transcript) {
    adapter.set_traffic_observer([&record](const sim::Traffic &traffic) { record.add(traffic); });
  }
  adapter.set_observer([&answered, &options](const sim::Exchange &exchange) {
    say(timestamp_now() + " " + describe_exchange(exchange));
    if (options.show_wire) {
      say(describe_wire(exchange));
    }
    ++answered;
  });
  say("korvel-sim: " +
      describe_port(adapter.port_name(), adapter.device_path(), options.device.empty()));
  const Announcement announcement(options, adapter.port_name(), adapter.device_path());

  std::size_t bad_requests_seen = 0;
  const auto report_bad_requests = [&] {
    for (; bad_requests_seen < adapter.bad_request_count(); ++bad_requests_seen) {
      say(timestamp_now() + " request with a bad CRC, not answered");
    }
  };
  run_until_stopped([&] { return options.exit_after > 0 && answered >= options.exit_after; },
                    report_bad_requests);
  report_bad_requests();
  adapter.set_observer(nullptr);
  adapter.set_traffic_observer(nullptr);
  record.finish();
  std::string summary = "korvel-sim: served " + count_of(adapter.request_count(), "request");
  if (!options.replay_path.empty()) {
    summary += ", " + std::to_string(unanswered) + " without a recorded answer";
  }
  if (const std::size_t bad = adapter.bad_request_count(); bad > 0) {
    summary += "; " + count_of(bad, "request") + " with a bad CRC " + (bad == 1 ? "was" : "were") +
               " not answered";
  }
  say(summary);
  return kExitStopped;
}

int pass_on(const SimOptions &options) {
  std::unique_ptr<sim::Line> host = host_line(options);
  std::unique_ptr<sim::Line> adapter = sim::open_device_line(options.tap_device);
  const std::string about =
      "passing on between " + host->device_path() + " and " + adapter->device_path();
  const std::unique_ptr<TranscriptFile> transcript = transcript_for(options, about);
  TapLog log(options.show_wire);
  TrafficRecord record(TrafficLines::Pieces::ByPauses, transcript.get(), &log);
  say("korvel-sim: " +
      describe_port(host->port_name(), host->device_path(), options.device.empty()) +
      "; passed on to " + adapter->device_path());
  {
    const sim::LineTap tap(std::move(host), std::move(adapter),
                           [&record](const sim::Traffic &traffic) { record.add(traffic); });
    const Announcement announcement(options, tap.host_line().port_name(),
                                    tap.host_line().device_path());
    run_until_stopped(
        [&] { return options.exit_after > 0 && log.requests() >= options.exit_after; }, [] {});
  }
  record.finish();
  say("korvel-sim: passed on " + count_of(log.requests(), "request") + " and " +
      count_of(log.replies(), "reply", "replies"));
  return kExitStopped;
}

} // namespace

int main(int argc, char **argv) {
  const ParsedOptions parsed = parse_options(argc, argv);
  if (!parsed.error.empty()) {
    complain(parsed.error);
    std::fputs("see korvel-sim --help\n", stderr);
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
  stop_on_request();
  int status = kExitSetupFailed;
  try {
    status = options.tap_device.empty() ? serve(options) : pass_on(options);
  } catch (const std::exception &error) {
    complain(error.what());
  }
  stopped();
  return status;
}
