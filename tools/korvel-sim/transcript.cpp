#include "transcript.h"

#include "hex_text.h"
#include "number_text.h"
#include "wire_frames.h"

#include <cstdio>
#include <string_view>

namespace korvel::simtool {
namespace {

constexpr std::string_view kSpaces = " \t";
constexpr char kComment = '#';
constexpr char kToAdapter = '>';
constexpr char kToHost = '<';
// A byte-order mark, as Windows editors may put before the first line.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::uint32_t kLatestTime = UINT32_MAX;
constexpr int kTimeWidth = 8;

std::string_view trimmed(std::string_view text) {
  const std::size_t start = text.find_first_not_of(kSpaces);
  if (start == std::string_view::npos) {
    return {};
  }
  return text.substr(start, text.find_last_not_of(kSpaces) - start + 1);
}

// The next word, taken off the front of the text.
std::string_view take_word(std::string_view &text) {
  text = trimmed(text);
  const std::size_t end = std::min(text.find_first_of(kSpaces), text.size());
  const std::string_view word = text.substr(0, end);
  text.remove_prefix(end);
  return word;
}

std::string quoted(std::string_view text) {
  std::string quoted_text = "'";
  quoted_text += text;
  return quoted_text + "'";
}

std::string version_line() {
  return std::string(kTranscriptFormat) + " " + std::to_string(kTranscriptVersion);
}

std::optional<std::string> version_problem(std::string_view line) {
  std::string_view rest = trimmed(line.substr(0, line.find(kComment)));
  const std::string_view format = take_word(rest);
  const std::string_view version = take_word(rest);
  if (format != kTranscriptFormat || !trimmed(rest).empty()) {
    return "not a korvel-sim transcript: the first line must be " + quoted(version_line());
  }
  if (version != std::to_string(kTranscriptVersion)) {
    return "this is transcript version " + quoted(version) + "; korvel-sim reads version " +
           std::to_string(kTranscriptVersion);
  }
  return std::nullopt;
}

struct LineReading {
  std::optional<TranscriptLine> line; // nothing for a blank or comment line
  std::string problem;
};

LineReading read_line(std::string_view text) {
  std::string_view rest = trimmed(text.substr(0, text.find(kComment)));
  if (rest.empty()) {
    return {};
  }
  const std::string_view time = take_word(rest);
  const std::string_view direction = take_word(rest);
  rest = trimmed(rest);
  if (direction.empty() || rest.empty()) {
    return {std::nullopt, "a line needs a time, a direction ('>' or '<') and the bytes"};
  }
  TranscriptLine line;
  const std::optional<std::uint32_t> at = tools::parse_count(time, 0, kLatestTime);
  if (!at) {
    return {std::nullopt, "the time must be whole milliseconds, not " + quoted(time)};
  }
  line.at_ms = *at;
  if (direction.size() != 1 || (direction[0] != kToAdapter && direction[0] != kToHost)) {
    return {std::nullopt,
            "the direction must be '>' (host to adapter) or '<' (adapter to host), not " +
                quoted(direction)};
  }
  line.direction = direction[0] == kToAdapter ? sim::Direction::ToAdapter : sim::Direction::ToHost;
  const std::optional<tools::Bytes> bytes = tools::parse_hex(rest);
  if (!bytes) {
    return {std::nullopt, quoted(rest) + " is not bytes in hex (two digits each)"};
  }
  line.bytes = *bytes;
  return {line, ""};
}

ParsedTranscript refused(std::size_t line, std::string what) {
  ParsedTranscript parsed;
  parsed.error = TranscriptError{line, std::move(what)};
  return parsed;
}

} // namespace

ParsedTranscript parse_transcript(std::istream &text) {
  ParsedTranscript parsed;
  std::string line;
  std::size_t number = 0;
  while (std::getline(text, line)) {
    ++number;
    if (line.size() > kLongestTranscriptLine) {
      return refused(number,
                     "longer than " + std::to_string(kLongestTranscriptLine) + " characters");
    }
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (number == 1) {
      std::string_view first = line;
      if (first.starts_with(kByteOrderMark)) {
        first.remove_prefix(kByteOrderMark.size());
      }
      if (const std::optional<std::string> problem = version_problem(first)) {
        return refused(number, *problem);
      }
      continue;
    }
    LineReading reading = read_line(line);
    if (!reading.problem.empty()) {
      return refused(number, reading.problem);
    }
    if (!reading.line) {
      continue;
    }
    reading.line->number = number;
    if (!parsed.lines.empty() && reading.line->at_ms < parsed.lines.back().at_ms) {
      return refused(number, std::to_string(reading.line->at_ms) + " ms is earlier than the " +
                                 std::to_string(parsed.lines.back().at_ms) + " ms of line " +
                                 std::to_string(parsed.lines.back().number) +
                                 ": times never go back");
    }
    parsed.lines.push_back(std::move(*reading.line));
  }
  if (number == 0) {
    return refused(1, "empty: a transcript begins with " + quoted(version_line()));
  }
  return parsed;
}

std::string transcript_header(const std::string &about) {
  return version_line() + "\n" + "# " + about + "\n" +
         "# Each line: milliseconds since the recording began; '>' for bytes from the host to\n"
         "# the adapter (timed by their last byte) or '<' for bytes from the adapter to the\n"
         "# host (timed by their first); the bytes in hex as they crossed the line, one frame\n"
         "# or fragment a line. '#' begins a comment. korvel-sim --replay answers each '>'\n"
         "# request with the '<' lines that follow it, at their times after it.\n";
}

std::string format_transcript_line(const TranscriptLine &line) {
  char time[16];
  std::snprintf(time, sizeof(time), "%*u", kTimeWidth, static_cast<unsigned>(line.at_ms));
  std::string text = std::string(time) + " " +
                     (line.direction == sim::Direction::ToAdapter ? kToAdapter : kToHost) + " " +
                     tools::format_hex(line.bytes);
  if (const std::optional<DecodedFrame> frame = whole_frame(line.bytes, line.direction)) {
    const char *kind = line.direction == sim::Direction::ToAdapter ? "request" : "reply";
    text += "  # ";
    const std::string payload =
        frame->payload.empty() ? "(empty)" : tools::format_hex(frame->payload);
    text += frame->valid ? std::string(kind) + " " + payload
                         : std::string("a ") + kind + " with a bad CRC";
  }
  return text;
}

} // namespace korvel::simtool
