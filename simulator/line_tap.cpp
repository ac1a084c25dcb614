#include "line_tap.h"

namespace korvel::sim {
namespace {

// A frame and more fit; what does not is passed on in the next round.
constexpr std::size_t kPassBufferSize = 1024;

} // namespace

LineTap::LineTap(std::unique_ptr<Line> host, std::unique_ptr<Line> adapter,
                 TrafficObserver observer)
    : host_(std::move(host)), adapter_(std::move(adapter)), observer_(std::move(observer)) {
  reporter_ = std::thread([this] { report(); });
  to_adapter_ = std::thread([this] { pass(*host_, *adapter_, Direction::ToAdapter); });
  to_host_ = std::thread([this] { pass(*adapter_, *host_, Direction::ToHost); });
}

LineTap::~LineTap() {
  passing_ = false;
  to_adapter_.join();
  to_host_.join();
  {
    std::lock_guard lock(mutex_);
    reporting_ = false;
  }
  reported_.notify_one();
  reporter_.join();
}

void LineTap::pass(Line &from, Line &to, Direction direction) {
  std::uint8_t buffer[kPassBufferSize];
  while (passing_) {
    const std::ptrdiff_t got = from.read(buffer, sizeof(buffer));
    if (got <= 0) {
      continue;
    }
    // Queued before it goes on: whatever the bytes cause at the other end
    // (a reply to a request) is then always queued after them.
    {
      std::lock_guard lock(mutex_);
      unreported_.push_back({direction, {buffer, buffer + got}, Clock::now()});
    }
    (void)to.write(buffer, static_cast<std::size_t>(got));
    reported_.notify_one();
  }
}

void LineTap::report() {
  std::unique_lock lock(mutex_);
  for (;;) {
    reported_.wait(lock, [this] { return !unreported_.empty() || !reporting_; });
    if (unreported_.empty()) {
      return; // stopped, and everything told
    }
    Chunk chunk = std::move(unreported_.front());
    unreported_.pop_front();
    lock.unlock();
    if (observer_) {
      observer_(Traffic{chunk.direction, chunk.bytes.data(), chunk.bytes.size(), chunk.at});
    }
    lock.lock();
  }
}

} // namespace korvel::sim
