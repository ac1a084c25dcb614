#include "traffic_lines.h"

#include "link/frame.h"

#include <algorithm>

namespace korvel::simtool {

TrafficLines::TrafficLines(sim::Clock::time_point start, Pieces pieces, Sink sink)
    : start_(start), pieces_(pieces), sink_(std::move(sink)) {}

TrafficLines::Open &TrafficLines::open_line(sim::Direction direction) {
  return direction == sim::Direction::ToAdapter ? to_adapter_ : to_host_;
}

void TrafficLines::add(const sim::Traffic &traffic) {
  Open &line = open_line(traffic.direction);
  const bool to_host = traffic.direction == sim::Direction::ToHost;
  if (!line.bytes.empty() && to_host &&
      traffic.at - line.last >= std::chrono::milliseconds(kPieceGapMs)) {
    end(traffic.direction);
  }
  for (std::size_t i = 0; i < traffic.count; ++i) {
    const std::uint8_t byte = traffic.bytes[i];
    if (byte == link::kStx && !line.bytes.empty()) {
      end(traffic.direction);
    }
    if (line.bytes.empty()) {
      line.first = traffic.at;
    }
    line.bytes.push_back(byte);
    line.last = traffic.at;
    if (byte == link::kStx) {
      line.in_frame = true;
    }
    const bool frame_ends = byte == link::kEtx && line.in_frame;
    if (frame_ends) {
      line.in_frame = false;
    }
    if (frame_ends || line.bytes.size() >= kLongestCutLine) {
      end(traffic.direction);
    }
  }
  if (to_host && pieces_ == Pieces::AsWritten) {
    end(traffic.direction);
  }
}

void TrafficLines::finish() {
  end(sim::Direction::ToAdapter);
  end(sim::Direction::ToHost);
}

void TrafficLines::end(sim::Direction direction) {
  Open &line = open_line(direction);
  if (line.bytes.empty()) {
    return;
  }
  // What the adapter sent before a request was whole goes before it: a
  // request is answered by what follows it.
  if (direction == sim::Direction::ToAdapter) {
    end(sim::Direction::ToHost);
  }
  const sim::Clock::time_point at = direction == sim::Direction::ToAdapter ? line.last : line.first;
  const auto since_start = std::chrono::duration_cast<std::chrono::milliseconds>(at - start_);
  TranscriptLine done;
  // Never before the line written last, so that times never go back.
  done.at_ms = std::max(last_at_ms_,
                        static_cast<std::uint32_t>(std::max<std::int64_t>(since_start.count(), 0)));
  last_at_ms_ = done.at_ms;
  done.direction = direction;
  done.bytes = std::move(line.bytes);
  line.bytes.clear();
  sink_(done);
}

} // namespace korvel::simtool
