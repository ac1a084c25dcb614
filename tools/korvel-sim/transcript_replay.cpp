#include "transcript_replay.h"

#include "hex_text.h"
#include "wire_frames.h"

#include <algorithm>

namespace korvel::simtool {
namespace {

std::string key_of(const sim::Bytes &command) { return {command.begin(), command.end()}; }

std::string command_text(const sim::Bytes &command) {
  return command.empty() ? "(empty)" : tools::format_hex(command);
}

} // namespace

ReplayScript replay_script(const std::vector<TranscriptLine> &lines) {
  ReplayScript script;
  std::uint32_t request_at = 0;
  for (const TranscriptLine &line : lines) {
    if (line.direction == sim::Direction::ToAdapter) {
      const std::optional<DecodedFrame> frame = whole_frame(line.bytes, line.direction);
      // Anything else the host sent (noise, a frame with a bad CRC) asks
      // for nothing.
      if (frame && frame->valid) {
        script.exchanges.push_back({frame->payload, line.number, {}});
        request_at = line.at_ms;
      }
      continue;
    }
    if (script.exchanges.empty()) {
      ++script.unasked_lines;
      continue;
    }
    script.exchanges.back().answer.push_back({line.at_ms - request_at, line.bytes});
  }
  return script;
}

TranscriptPlayer::TranscriptPlayer(ReplayScript script, sim::Behaviour fallback, Notice unanswered)
    : shared_(std::make_shared<Shared>()), fallback_(std::move(fallback)),
      unanswered_(std::move(unanswered)) {
  shared_->exchanges = std::move(script.exchanges);
  for (std::size_t i = 0; i < shared_->exchanges.size(); ++i) {
    const std::string key = key_of(shared_->exchanges[i].command);
    shared_->unplayed[key].push_back(i);
    ++shared_->recorded[key];
  }
  for (auto &[command, order] : shared_->unplayed) {
    std::reverse(order.begin(), order.end());
  }
}

sim::Answer TranscriptPlayer::operator()(const sim::Bytes &command) {
  std::string notice;
  {
    std::lock_guard lock(shared_->mutex);
    const std::string key = key_of(command);
    const auto unplayed = shared_->unplayed.find(key);
    if (unplayed != shared_->unplayed.end() && !unplayed->second.empty()) {
      const RecordedExchange &exchange = shared_->exchanges[unplayed->second.back()];
      unplayed->second.pop_back();
      sim::Answer answer;
      answer.silent = exchange.answer.empty();
      answer.played = exchange.answer;
      answer.origin = "transcript line " + std::to_string(exchange.line);
      return answer;
    }
    const auto recorded = shared_->recorded.find(key);
    notice = "no recorded answer for request " + command_text(command) +
             (recorded == shared_->recorded.end()
                  ? " (not in the transcript)"
                  : " left (the transcript answers it " +
                        std::string(recorded->second == 1
                                        ? "once"
                                        : std::to_string(recorded->second) + " times") +
                        ", all given)");
  }
  if (unanswered_) {
    unanswered_(notice);
  }
  return fallback_(command);
}

} // namespace korvel::simtool
