#include "adapter_line.h"

#include "hex_text.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace vm_host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kSimulatorStartTimeout{10};
constexpr std::chrono::milliseconds kPollInterval{5};
// korvel-sim's first line once its device is set up, and its --wire lines.
constexpr const char *kSimulatorReady = "korvel-sim: port ";
constexpr const char *kWireInPrefix = "  wire in  ";
// "12:00:00.000 request 0A 0B -> reply 00"; "(empty)" for no bytes.
constexpr const char *kRequestWord = " request ";
constexpr const char *kAnswerArrow = " -> ";

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

} // namespace

AdapterLine::AdapterLine(std::string pty, std::string output_log, std::string work_dir,
                         std::string name)
    : pty_(std::move(pty)), output_log_(std::move(output_log)), work_dir_(std::move(work_dir)),
      name_(std::move(name)) {
  held_fd_ = open(pty_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios raw{};
  if (held_fd_ >= 0 && tcgetattr(held_fd_, &raw) == 0) {
    cfmakeraw(&raw);
    (void)tcsetattr(held_fd_, TCSANOW, &raw);
  }
}

AdapterLine::~AdapterLine() {
  simulator_.reset();
  if (held_fd_ >= 0) {
    close(held_fd_);
  }
}

bool AdapterLine::serve(const std::vector<std::string> &options) {
  silence();
  discard_unread();
  simulator_log_path_ =
      (std::filesystem::path(work_dir_) / (name_ + "-sim-" + std::to_string(++runs_) + ".log"))
          .string();
  const int log = open(simulator_log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<std::string> argv{KORVEL_SIM_TOOL, "--device", pty_, "--wire"};
  argv.insert(argv.end(), options.begin(), options.end());
  simulator_ = std::make_unique<ChildProcess>(argv, -1, log, log);
  close(log);
  const auto deadline = Clock::now() + kSimulatorStartTimeout;
  while (Clock::now() < deadline && simulator_->running()) {
    if (simulator_log().find(kSimulatorReady) != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return false;
}

void AdapterLine::silence() {
  if (simulator_) {
    simulator_->send_signal(SIGKILL);
    (void)simulator_->wait_for_exit(kSimulatorStartTimeout);
    // korvel-sim holds its device exclusively, and a pseudo-terminal keeps
    // that flag while this end stays open; the next korvel-sim needs it gone.
    if (held_fd_ >= 0) {
      (void)ioctl(held_fd_, TIOCNXCL);
    }
  }
}

void AdapterLine::discard_unread() {
  if (held_fd_ >= 0) {
    (void)tcflush(held_fd_, TCIOFLUSH);
  }
}

std::string AdapterLine::simulator_log() const {
  return simulator_log_path_.empty() ? "" : read_file(simulator_log_path_);
}

std::vector<Bytes> AdapterLine::simulator_requests() const {
  std::vector<Bytes> requests;
  std::istringstream lines(simulator_log());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(kWireInPrefix, 0) == 0) {
      requests.push_back(korvel::tools::parse_hex(line.substr(std::string(kWireInPrefix).size()))
                             .value_or(Bytes{}));
    }
  }
  return requests;
}

std::vector<Bytes> AdapterLine::simulator_commands() const {
  std::vector<Bytes> commands;
  std::istringstream lines(simulator_log());
  for (std::string line; std::getline(lines, line);) {
    const std::size_t start = line.find(kRequestWord);
    const std::size_t end = line.find(kAnswerArrow);
    if (start != std::string::npos && end != std::string::npos && start < end) {
      const std::size_t from = start + std::string(kRequestWord).size();
      commands.push_back(korvel::tools::parse_hex(line.substr(from, end - from)).value_or(Bytes{}));
    }
  }
  return commands;
}

std::size_t AdapterLine::guest_output_mark() const {
  std::error_code error;
  const auto size = std::filesystem::file_size(output_log_, error);
  return error ? 0 : static_cast<std::size_t>(size);
}

Bytes AdapterLine::guest_output_since(std::size_t mark) const {
  const std::string all = read_file(output_log_);
  return mark < all.size() ? Bytes(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end())
                           : Bytes{};
}

bool AdapterLine::wait_for_guest_output(std::size_t mark, std::size_t count,
                                        std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (guest_output_mark() < mark + count) {
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

} // namespace vm_host
