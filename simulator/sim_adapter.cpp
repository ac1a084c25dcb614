#include "sim_adapter.h"

#include "link/frame.h"
#include "link/frame_assembler.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace korvel::sim {
namespace {

constexpr int kPollIntervalMs = 20;
constexpr const char *kDeviceDir = "/dev/";
constexpr speed_t kLineSpeed = B38400;

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

std::string below_dev(const std::string &path) {
  return path.starts_with(kDeviceDir) ? path.substr(std::strlen(kDeviceDir)) : path;
}

std::runtime_error device_error(const std::string &path, const std::string &why) {
  return std::runtime_error(path + ": " + why);
}

// 38400 8N1, raw, the modem lines ignored (CLOCAL), no flow control.
void set_line(int fd, const std::string &path) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) {
    throw device_error(path, std::strerror(errno));
  }
  cfmakeraw(&line);
  cfsetispeed(&line, kLineSpeed);
  cfsetospeed(&line, kLineSpeed);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &line) != 0) {
    throw device_error(path, std::strerror(errno));
  }
}

// Opened without waiting for a carrier; blocking again once CLOCAL is set.
int open_device(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    throw device_error(path, std::strerror(errno));
  }
  if (isatty(fd) == 0) {
    close(fd);
    throw device_error(path, "not a terminal, so not a serial device");
  }
  try {
    set_line(fd, path);
  } catch (...) {
    close(fd);
    throw;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
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

PtyAdapter::PtyAdapter(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
  int slave_fd = -1;
  char name[64] = {};
  if (openpty(&master_fd_, &slave_fd, name, nullptr, nullptr) != 0) {
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  }
  termios raw{};
  tcgetattr(slave_fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave_fd, TCSANOW, &raw);
  // Holding the slave open keeps the master readable between the host's
  // opens (a pty master reads EIO while no slave is open).
  slave_keepalive_fd_ = slave_fd;
  fcntl(master_fd_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_keepalive_fd_, F_SETFD, FD_CLOEXEC);
  device_path_ = name;
  port_name_ = below_dev(device_path_);
  thread_ = std::thread([this] { serve(); });
}

PtyAdapter::PtyAdapter(const SerialDevice &device, Behaviour behaviour)
    : master_fd_(open_device(device.path)), port_name_(below_dev(device.path)),
      device_path_(device.path), behaviour_(std::move(behaviour)) {
  thread_ = std::thread([this] { serve(); });
}

PtyAdapter::~PtyAdapter() {
  stopping_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
  hang_up();
  if (slave_keepalive_fd_ >= 0) {
    close(slave_keepalive_fd_);
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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (request_count() < count) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    pause_ms(5);
  }
  return true;
}

void PtyAdapter::hang_up() {
  std::lock_guard lock(mutex_);
  if (master_fd_ >= 0) {
    close(master_fd_);
    master_fd_ = -1;
  }
}

void PtyAdapter::serve() {
  link::FrameAssembler request{link::kRequestHeader2};
  request.restart();
  while (!stopping_) {
    int fd = -1;
    {
      std::lock_guard lock(mutex_);
      fd = master_fd_;
    }
    if (fd < 0) {
      pause_ms(kPollIntervalMs);
      continue;
    }
    pollfd readable{fd, POLLIN, 0};
    const int ready = poll(&readable, 1, kPollIntervalMs);
    if (ready > 0 && (readable.revents & POLLIN) == 0) {
      // A hung-up line (a serial device unplugged) reports so at once, for
      // as long as it stays hung up: wait rather than spin.
      pause_ms(kPollIntervalMs);
    }
    if (ready <= 0 || (readable.revents & POLLIN) == 0) {
      continue;
    }
    std::uint8_t buffer[256];
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    for (ssize_t i = 0; i < got; ++i) {
      if (!request.accept(buffer[i])) {
        continue;
      }
      if (!link::frame_is_valid(request)) {
        std::lock_guard lock(mutex_);
        ++bad_requests_;
        continue;
      }
      const std::uint8_t *payload = request.frame() + link::kPayloadOffset;
      handle_request(Bytes(payload, payload + request.length() - link::kFrameOverhead));
    }
  }
}

void PtyAdapter::handle_request(const Bytes &command) {
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
    send_answer(answer);
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

void PtyAdapter::send_answer(const Answer &answer) {
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
  std::lock_guard lock(mutex_);
  for (std::size_t offset = 0; offset < count && master_fd_ >= 0;) {
    const ssize_t written = write(master_fd_, bytes + offset, count - offset);
    if (written < 0 && errno != EINTR && errno != EAGAIN) {
      return;
    }
    offset += written > 0 ? static_cast<std::size_t>(written) : 0;
  }
}

} // namespace korvel::sim
