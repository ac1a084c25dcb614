#include "sim_adapter.h"

#include "link/frame.h"
#include "link/frame_assembler.h"

#include <chrono>
#include <cstring>

namespace korvel::sim {
namespace {

void pause_ms(std::uint32_t ms) {
  if (ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

Bytes text_bytes(std::uint8_t first, const char *text) {
  Bytes bytes{first};
  bytes.insert(bytes.end(), text, text + std::strlen(text));
  return bytes;
}

} // namespace

Answer default_answer(const Bytes &command) {
  Answer answer;
  if (command.size() == 1 && command[0] == adapter::kReadVersionCommand) {
    answer.payload = text_bytes(adapter::kStatusOk, kDefaultVersionText);
  } else {
    answer.payload = {adapter::kStatusOk};
  }
  return answer;
}

Answer reply(Bytes payload) {
  Answer answer;
  answer.payload = std::move(payload);
  return answer;
}

Answer silent() {
  Answer answer;
  answer.silent = true;
  return answer;
}

Answer identification() {
  const char *text = kIdentificationText;
  return reply(Bytes(text, text + std::strlen(text)));
}

Bytes encode_reply(const Answer &answer) {
  const auto count = static_cast<std::int32_t>(answer.payload.size());
  // Room for the worst case: every byte between STX and ETX stuffed.
  Bytes frame(2 * (answer.payload.size() + link::kFrameOverhead));
  std::int32_t length = link::encode_frame(answer.header1, answer.header2, answer.payload.data(),
                                           count, frame.data());
  if (answer.corrupt_crc) {
    frame[static_cast<std::size_t>(length) - 2] ^= 0x5A; // the CRC low byte
  }
  length = link::stuff_in_place(frame.data(), length);
  frame.resize(static_cast<std::size_t>(length));
  return frame;
}

Bytes encode_request(const Bytes &command) {
  Bytes frame(2 * (command.size() + link::kFrameOverhead));
  std::int32_t length =
      link::encode_frame(link::kRequestHeader1, link::kRequestHeader2, command.data(),
                         static_cast<std::int32_t>(command.size()), frame.data());
  length = link::stuff_in_place(frame.data(), length);
  frame.resize(static_cast<std::size_t>(length));
  return frame;
}

Bytes wire_bytes(const Answer &answer) {
  Bytes bytes;
  if (answer.silent) {
    return bytes;
  }
  if (!answer.played.empty()) {
    for (const TimedBytes &piece : answer.played) {
      bytes.insert(bytes.end(), piece.bytes.begin(), piece.bytes.end());
    }
    return bytes;
  }
  bytes = answer.noise_before;
  const Bytes frame = encode_reply(answer);
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  return bytes;
}

PtyAdapter::PtyAdapter(Behaviour behaviour) : PtyAdapter(open_own_line(), std::move(behaviour)) {}

PtyAdapter::PtyAdapter(const SerialDevice &device, Behaviour behaviour)
    : PtyAdapter(open_device_line(device.path), std::move(behaviour)) {}

PtyAdapter::PtyAdapter(std::unique_ptr<Line> line, Behaviour behaviour)
    : line_(std::move(line)), behaviour_(std::move(behaviour)) {
  thread_ = std::thread([this] { serve(); });
}

PtyAdapter::~PtyAdapter() {
  stopping_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
}

void PtyAdapter::set_behaviour(Behaviour behaviour) {
  std::lock_guard lock(mutex_);
  behaviour_ = std::move(behaviour);
}

void PtyAdapter::set_observer(ExchangeObserver observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void PtyAdapter::set_traffic_observer(TrafficObserver observer) {
  std::lock_guard lock(mutex_);
  traffic_observer_ = std::move(observer);
}

std::vector<Exchange> PtyAdapter::exchanges() const {
  std::lock_guard lock(mutex_);
  return exchanges_;
}

std::size_t PtyAdapter::request_count() const {
  std::lock_guard lock(mutex_);
  return exchanges_.size();
}

std::size_t PtyAdapter::bad_request_count() const {
  std::lock_guard lock(mutex_);
  return bad_requests_;
}

bool PtyAdapter::wait_for_requests(std::size_t count, std::uint32_t timeout_ms) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (request_count() < count) {
    if (Clock::now() >= deadline) {
      return false;
    }
    pause_ms(5);
  }
  return true;
}

void PtyAdapter::hang_up() { line_->hang_up(); }

void PtyAdapter::serve() {
  link::FrameAssembler request{link::kRequestHeader2};
  request.restart();
  while (!stopping_) {
    std::uint8_t buffer[256];
    const std::ptrdiff_t got = line_->read(buffer, sizeof(buffer));
    if (got <= 0) {
      continue;
    }
    const Clock::time_point arrived = Clock::now();
    const auto count = static_cast<std::size_t>(got);
    // Bytes told to the traffic observer so far: up to the end of each
    // request, so that a request is always seen before its answer.
    std::size_t observed = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (!request.accept(buffer[i])) {
        continue;
      }
      observe(Direction::ToAdapter, buffer + observed, i + 1 - observed, arrived);
      observed = i + 1;
      if (!link::frame_is_valid(request)) {
        std::lock_guard lock(mutex_);
        ++bad_requests_;
        continue;
      }
      const std::uint8_t *payload = request.frame() + link::kPayloadOffset;
      handle_request(Bytes(payload, payload + request.length() - link::kFrameOverhead), arrived);
    }
    if (observed < count) {
      observe(Direction::ToAdapter, buffer + observed, count - observed, arrived);
    }
  }
}

void PtyAdapter::observe(Direction direction, const std::uint8_t *bytes, std::size_t count,
                         Clock::time_point at) {
  TrafficObserver observer;
  {
    std::lock_guard lock(mutex_);
    observer = traffic_observer_;
  }
  if (observer) {
    observer(Traffic{direction, bytes, count, at});
  }
}

void PtyAdapter::handle_request(const Bytes &command, Clock::time_point arrived) {
  Behaviour behaviour;
  {
    std::lock_guard lock(mutex_);
    behaviour = behaviour_;
  }
  const Answer answer = behaviour(command);
  {
    std::lock_guard lock(mutex_);
    exchanges_.push_back({command, answer});
  }
  if (!answer.silent) {
    send_answer(answer, arrived);
  }
  ExchangeObserver observer;
  {
    std::lock_guard lock(mutex_);
    observer = observer_;
  }
  if (observer) {
    observer(Exchange{command, answer});
  }
}

void PtyAdapter::send_answer(const Answer &answer, Clock::time_point arrived) {
  if (!answer.played.empty()) {
    for (const TimedBytes &piece : answer.played) {
      std::this_thread::sleep_until(arrived + std::chrono::milliseconds(piece.after_ms));
      write_all(piece.bytes.data(), piece.bytes.size());
    }
    return;
  }
  pause_ms(answer.delay_ms);
  write_all(answer.noise_before.data(), answer.noise_before.size());
  const Bytes frame = encode_reply(answer);
  const std::size_t piece = answer.piece_size == 0 ? frame.size() : answer.piece_size;
  for (std::size_t offset = 0; offset < frame.size(); offset += piece) {
    if (offset > 0) {
      pause_ms(answer.piece_pause_ms);
    }
    write_all(frame.data() + offset, std::min(piece, frame.size() - offset));
  }
}

void PtyAdapter::write_all(const std::uint8_t *bytes, std::size_t count) {
  if (count == 0) {
    return;
  }
  observe(Direction::ToHost, bytes, count, Clock::now());
  (void)line_->write(bytes, count);
}

} // namespace korvel::sim
