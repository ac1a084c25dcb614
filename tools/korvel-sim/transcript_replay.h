// Answering requests from a transcript: each '>' line that is one whole,
// valid request starts an exchange, answered by the '<' lines after it (up
// to the next request), each at its time after the request; an exchange
// without '<' lines was answered with silence.
#pragma once

#include "transcript.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace korvel::simtool {

struct RecordedExchange {
  sim::Bytes command;
  std::size_t line = 0; // the request's line in the transcript
  std::vector<sim::TimedBytes> answer;
};

struct ReplayScript {
  std::vector<RecordedExchange> exchanges;
  // Bytes to the host before the first request: nothing asks for them, so
  // they are never played.
  std::size_t unasked_lines = 0;
};

ReplayScript replay_script(const std::vector<TranscriptLine> &lines);

// A behaviour that gives each request the next recorded answer to the same
// command, in recorded order. A request it has none for left is told to
// `unanswered` (in words) and answered by the fallback.
class TranscriptPlayer {
public:
  using Notice = std::function<void(const std::string &)>;
  TranscriptPlayer(ReplayScript script, sim::Behaviour fallback, Notice unanswered);

  // Copies share what has been played.
  sim::Answer operator()(const sim::Bytes &command);

private:
  struct Shared {
    std::mutex mutex;
    std::vector<RecordedExchange> exchanges;
    // By command (its bytes as a string): the recorded exchanges not yet
    // played, the last to play first, and how many were recorded.
    std::map<std::string, std::vector<std::size_t>> unplayed;
    std::map<std::string, std::size_t> recorded;
  };
  std::shared_ptr<Shared> shared_;
  sim::Behaviour fallback_;
  Notice unanswered_;
};

} // namespace korvel::simtool
