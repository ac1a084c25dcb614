#include "session_record.h"

#include "exchange_log.h"
#include "hex_text.h"
#include "wire_frames.h"

#include <filesystem>

namespace korvel::simtool {
namespace {

std::string hex_or_empty(const sim::Bytes &bytes) {
  return bytes.empty() ? "(empty)" : tools::format_hex(bytes);
}

} // namespace

std::string TranscriptFile::create(const std::string &path, const std::string &about) {
  std::error_code error;
  if (std::filesystem::exists(path, error)) {
    return path + " exists: korvel-sim records only to a new file";
  }
  file_.open(path);
  file_ << transcript_header(about);
  file_.flush();
  return file_ ? "" : "cannot write " + path;
}

void TranscriptFile::write(const TranscriptLine &line) {
  file_ << format_transcript_line(line) << '\n';
  file_.flush();
}

std::string load_transcript(const std::string &path, ReplayScript &script) {
  std::ifstream file(path);
  if (!file) {
    return "cannot read " + path;
  }
  const ParsedTranscript parsed = parse_transcript(file);
  if (parsed.error) {
    return path + " line " + std::to_string(parsed.error->line) + ": " + parsed.error->what;
  }
  script = replay_script(parsed.lines);
  return "";
}

void TapLog::add(const TranscriptLine &line) {
  const std::optional<DecodedFrame> frame = whole_frame(line.bytes, line.direction);
  const std::string wire = tools::format_hex(line.bytes);
  if (line.direction == sim::Direction::ToAdapter) {
    if (frame) {
      request_at_ms_ = line.at_ms;
      ++requests_;
      say(timestamp_now() + (frame->valid ? " request " + hex_or_empty(frame->payload)
                                          : std::string(" a request with a bad CRC")));
    }
    if (show_wire_) {
      say("  wire in  " + wire + (frame ? "" : " (no whole frame)"));
    }
    return;
  }
  if (frame) {
    ++replies_;
    std::string text = frame->valid ? "reply " + hex_or_empty(frame->payload)
                                    : std::string("a reply with a bad CRC");
    if (request_at_ms_) {
      text += ", " + std::to_string(line.at_ms - *request_at_ms_) + " ms after the request";
    }
    say(timestamp_now() + " " + text);
  }
  if (show_wire_) {
    say("  wire out " + wire + (frame ? "" : " (no whole frame)"));
  }
}

TrafficRecord::TrafficRecord(TrafficLines::Pieces pieces, TranscriptFile *transcript, TapLog *log)
    : lines_(sim::Clock::now(), pieces, [transcript, log](const TranscriptLine &line) {
        if (transcript != nullptr) {
          transcript->write(line);
        }
        if (log != nullptr) {
          log->add(line);
        }
      }) {}

void TrafficRecord::add(const sim::Traffic &traffic) {
  std::lock_guard lock(mutex_);
  lines_.add(traffic);
}

void TrafficRecord::finish() {
  std::lock_guard lock(mutex_);
  lines_.finish();
}

} // namespace korvel::simtool
