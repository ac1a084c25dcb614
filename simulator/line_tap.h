// Passes a session on between a host and an adapter: every byte, both ways,
// unchanged and as it comes.
//
// One thread per direction reads what has come and writes it on at once; an
// observer learns of the traffic on a thread of its own, so that watching
// (logging, recording) never delays the line. It is told of the traffic in
// the order it came: what answers a request always after the request.
#pragma once

#include "line.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace korvel::sim {

class LineTap {
public:
  LineTap(std::unique_ptr<Line> host, std::unique_ptr<Line> adapter, TrafficObserver observer);
  // Stops passing bytes on, then tells the observer of the last of them.
  ~LineTap();
  LineTap(const LineTap &) = delete;
  LineTap &operator=(const LineTap &) = delete;

  const Line &host_line() const { return *host_; }
  const Line &adapter_line() const { return *adapter_; }

private:
  struct Chunk {
    Direction direction;
    std::vector<std::uint8_t> bytes;
    Clock::time_point at;
  };

  void pass(Line &from, Line &to, Direction direction);
  void report();

  std::unique_ptr<Line> host_;
  std::unique_ptr<Line> adapter_;
  TrafficObserver observer_;
  std::atomic<bool> passing_{true};
  std::mutex mutex_;
  std::condition_variable reported_;
  std::deque<Chunk> unreported_;
  bool reporting_ = true;
  std::thread reporter_;
  std::thread to_adapter_;
  std::thread to_host_;
};

} // namespace korvel::sim
