// What korvel-sim keeps of a session: the transcript it records, and the
// log of the exchanges a tap passes on.
#pragma once

#include "traffic_lines.h"
#include "transcript.h"
#include "transcript_replay.h"

#include <atomic>
#include <fstream>
#include <mutex>
#include <optional>

namespace korvel::simtool {

// A transcript written as the session goes, each line at once, so that
// what was recorded survives however korvel-sim is stopped.
class TranscriptFile {
public:
  // Starts a new file with the header; an existing file is never written
  // over. Returns why it could not, or "".
  std::string create(const std::string &path, const std::string &about);
  void write(const TranscriptLine &line);

private:
  std::ofstream file_;
};

// Reads a transcript for --replay, whole, before anything is served.
// Returns why it is refused ("FILE line N: what is wrong"), or "".
std::string load_transcript(const std::string &path, ReplayScript &script);

// The tap's log: each request and reply as it passes, decoded (and with
// show_wire, as wire bytes), and every fragment with show_wire.
class TapLog {
public:
  explicit TapLog(bool show_wire) : show_wire_(show_wire) {}
  void add(const TranscriptLine &line);
  std::size_t requests() const { return requests_; }
  std::size_t replies() const { return replies_; }

private:
  bool show_wire_;
  std::optional<std::uint32_t> request_at_ms_;
  std::atomic<std::size_t> requests_{0};
  std::atomic<std::size_t> replies_{0};
};

// Cuts the traffic into lines for whichever of the transcript and the log
// is kept; safe to feed from any thread.
class TrafficRecord {
public:
  TrafficRecord(TrafficLines::Pieces pieces, TranscriptFile *transcript, TapLog *log);
  void add(const sim::Traffic &traffic);
  void finish();

private:
  std::mutex mutex_;
  TrafficLines lines_;
};

} // namespace korvel::simtool
