// Cuts the bytes that crossed the line into transcript lines: one frame, or
// one fragment, a line.
//
// Each way on its own: a line ends with a frame's ETX, before an STX that
// starts a new frame (so noise before a frame is a line of its own), and at
// kLongestCutLine bytes. Bytes to the host also end a line where they came
// apart, as pieces of a reply do: at every write when the simulator wrote
// them, at a pause of kPieceGapMs or more when a tap saw them. A request
// that ends first ends what the adapter had begun to send, so that what
// follows a request in the transcript is what came after it.
#pragma once

#include "transcript.h"

#include <functional>

namespace korvel::simtool {

constexpr std::uint32_t kPieceGapMs = 2;
constexpr std::size_t kLongestCutLine = 1024;

class TrafficLines {
public:
  enum class Pieces { AsWritten, ByPauses };
  using Sink = std::function<void(const TranscriptLine &)>;

  // Times count from start.
  TrafficLines(sim::Clock::time_point start, Pieces pieces, Sink sink);

  void add(const sim::Traffic &traffic);
  // Ends the lines still open, the host's first.
  void finish();

private:
  struct Open {
    sim::Bytes bytes;
    sim::Clock::time_point first;
    sim::Clock::time_point last;
    // Between an STX and its ETX, also across the lines of a frame's pieces.
    bool in_frame = false;
  };

  Open &open_line(sim::Direction direction);
  void end(sim::Direction direction);

  sim::Clock::time_point start_;
  Pieces pieces_;
  Sink sink_;
  Open to_adapter_;
  Open to_host_;
  std::uint32_t last_at_ms_ = 0;
};

} // namespace korvel::simtool
