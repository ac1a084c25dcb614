// A session on the line as text a person can read and edit, korvel-sim's
// transcript:
//
//   korvel-transcript 1
//   # comments and blank lines anywhere after the first line
//        0 > 02 00 30 01 D9 28 03            # request 01
//       26 < 02 00 00 00 4B 4F ... 03        # reply 00 4B 4F ...
//
// The first line names the format and its version. Every other line that is
// not blank or a comment holds one frame, or one fragment (bytes outside a
// frame, a piece of a frame), as it crossed the line: the time in whole
// milliseconds since the recording began, '>' for bytes from the host to the
// adapter or '<' for bytes from the adapter to the host, then the bytes in
// hex. A '>' line's time is when its last byte came, a '<' line's when its
// first byte went; times never go back. '#' begins a comment.
#pragma once

#include "line.h"
#include "sim_adapter.h"

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace korvel::simtool {

constexpr const char *kTranscriptFormat = "korvel-transcript";
constexpr std::uint32_t kTranscriptVersion = 1;
// Longer lines are refused: no frame needs a tenth of this.
constexpr std::size_t kLongestTranscriptLine = 100'000;

struct TranscriptLine {
  std::uint32_t at_ms = 0;
  sim::Direction direction = sim::Direction::ToAdapter;
  sim::Bytes bytes;
  std::size_t number = 0; // in the file it was read from; 0 when not read
};

struct TranscriptError {
  std::size_t line = 0;
  std::string what;
};

struct ParsedTranscript {
  std::vector<TranscriptLine> lines;
  // Set when the text is no valid transcript; the lines are empty then.
  std::optional<TranscriptError> error;
};

// Reads a whole transcript, or refuses it at its first fault.
ParsedTranscript parse_transcript(std::istream &text);

// The version line and the comments that explain the format, each line
// ending in a newline; `about` says what was recorded.
std::string transcript_header(const std::string &about);

// One transcript line, with a comment saying what a whole frame carries.
std::string format_transcript_line(const TranscriptLine &line);

} // namespace korvel::simtool
