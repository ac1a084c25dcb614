#include "qemu_machine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace vm_host {
namespace {

using Clock = std::chrono::steady_clock;

// The names QEMU knows the far ends and the FTDI by.
constexpr const char *kUartChardev = "uart";
constexpr const char *kUsbChardev = "usb";
// Each plugging gets an id of its own, so that an event about an earlier
// FTDI is never taken for one about the current one.
constexpr const char *kFtdiDevice = "ftdi";
constexpr const char *kUsbBus = "xhci.0";

// QEMU's logs in the run directory.
constexpr const char *kUartOutputLog = "uart-out.bin";
constexpr const char *kUsbOutputLog = "usb-out.bin";
constexpr const char *kDeviceTraceLog = "device-trace.log";
constexpr const char *kQemuErrorLog = "qemu-stderr.log";

constexpr const char *kKernelCommandLine = "console=ttyS0 quiet loglevel=1 panic=-1";
constexpr const char *kGuestMemory = "256";
// What the guest's drivers program into the UART and the FTDI.
constexpr const char *kTracedEvents =
    "trace:serial_update_parameters,trace:usb_serial_set_*,trace:usb_serial_handle_control";

constexpr std::chrono::seconds kMonitorStartTimeout{10};
constexpr std::chrono::seconds kMonitorReplyTimeout{10};
constexpr std::chrono::seconds kUnplugTimeout{10};
constexpr std::size_t kConsoleTailSize = 16384;

std::string file_in(const std::string &dir, const char *name) {
  return (std::filesystem::path(dir) / name).string();
}

int milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The next whole line from fd into buffer's front; nothing on timeout or end.
std::optional<std::string> read_line(int fd, std::string &buffer, Clock::time_point deadline) {
  for (;;) {
    if (const std::size_t end = buffer.find('\n'); end != std::string::npos) {
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      return line;
    }
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, milliseconds_until(deadline)) <= 0) {
      return std::nullopt;
    }
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof(chunk));
    if (got <= 0) {
      return std::nullopt;
    }
    buffer.append(chunk, static_cast<std::size_t>(got));
  }
}

void write_all(int fd, const std::string &text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote <= 0 && errno != EINTR) {
      return;
    }
    done += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
  }
}

std::vector<std::string> qemu_arguments(const MachineImage &image, const std::string &monitor) {
  const std::string &run = image.run_dir;
  const std::string uart = kUartChardev;
  const std::string usb = kUsbChardev;
  const std::pair<const char *, std::string> options[] = {
      {"-display", "none"},
      {"-machine", "pc"},
      {"-accel", "tcg"},
      {"-m", kGuestMemory},
      {"-kernel", image.kernel},
      {"-initrd", image.initramfs},
      {"-append", kKernelCommandLine},
      {"-chardev", "stdio,id=console,signal=off"},
      {"-serial", "chardev:console"},
      {"-chardev", "pty,id=" + uart + ",logfile=" + file_in(run, kUartOutputLog)},
      {"-serial", "chardev:" + uart},
      {"-device", "qemu-xhci,id=xhci"},
      {"-chardev", "pty,id=" + usb + ",logfile=" + file_in(run, kUsbOutputLog)},
      {"-device",
       std::string("usb-serial,id=") + kFtdiDevice + "0,chardev=" + usb + ",bus=" + kUsbBus},
      {"-qmp", "unix:" + monitor + ",server=on,wait=off"},
      {"-d", kTracedEvents},
      {"-D", file_in(run, kDeviceTraceLog)},
  };
  std::vector<std::string> arguments{image.qemu, "-nodefaults", "-no-user-config", "-no-reboot"};
  for (const auto &[option, value] : options) {
    arguments.insert(arguments.end(), {option, value});
  }
  return arguments;
}

} // namespace

QemuMachine::QemuMachine(const MachineImage &image) : image_(image) {
  std::filesystem::remove_all(image.run_dir);
  std::filesystem::create_directories(image.run_dir);
  // A socket path must stay short; the build directory may not be.
  char socket_dir[] = "/tmp/korvel-vm-XXXXXX";
  if (mkdtemp(socket_dir) == nullptr) {
    failure_ = "cannot make a directory for QEMU's monitor";
    return;
  }
  socket_dir_ = socket_dir;
  if (access(image.qemu.c_str(), X_OK) != 0) {
    failure_ = image.qemu + " is not there: scripts/install-deps.sh installs qemu-system-x86";
    return;
  }
  int console_in[2];
  int console_out[2];
  if (pipe2(console_in, O_CLOEXEC) != 0 || pipe2(console_out, O_CLOEXEC) != 0) {
    failure_ = "no pipes for the console";
    return;
  }
  const int errors =
      open(file_in(image.run_dir, kQemuErrorLog).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  qemu_ = std::make_unique<ChildProcess>(qemu_arguments(image, file_in(socket_dir_, "qmp.sock")),
                                         console_in[0], console_out[1], errors);
  close(console_in[0]);
  close(console_out[1]);
  close(errors);
  to_console_ = console_in[1];
  from_console_ = console_out[0];
  if (!qemu_->started() || !connect_monitor()) {
    failure_ = failure_.empty() ? "QEMU did not start" : failure_;
    return;
  }
  uart_pty_ = query_pty(kUartChardev);
  usb_pty_ = query_pty(kUsbChardev);
  if (uart_pty_.empty() || usb_pty_.empty()) {
    failure_ = "QEMU named no pseudo-terminal for the guest's ports";
  }
}

QemuMachine::~QemuMachine() {
  qemu_.reset();
  for (const int fd : {to_console_, from_console_, monitor_fd_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  if (!socket_dir_.empty()) {
    std::filesystem::remove_all(socket_dir_);
  }
}

bool QemuMachine::connect_monitor() {
  const std::string path = file_in(socket_dir_, "qmp.sock");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  const auto deadline = Clock::now() + kMonitorStartTimeout;
  while (Clock::now() < deadline && qemu_->running()) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0) {
      monitor_fd_ = fd;
      // The greeting, then the handshake that enables commands.
      const bool greeted = !monitor_line(Clock::now() + kMonitorReplyTimeout).empty();
      return greeted &&
             monitor(R"({"execute":"qmp_capabilities"})").find("\"return\"") != std::string::npos;
    }
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  failure_ = "QEMU's monitor did not come up; see " + file_in(image_.run_dir, kQemuErrorLog);
  return false;
}

std::string QemuMachine::monitor_line(Clock::time_point deadline) {
  return read_line(monitor_fd_, monitor_buffer_, deadline).value_or("");
}

std::string QemuMachine::monitor(const std::string &command) {
  write_all(monitor_fd_, command + "\n");
  const auto deadline = Clock::now() + kMonitorReplyTimeout;
  for (std::string line; !(line = monitor_line(deadline)).empty();) {
    // Events come in between; they are kept for wait_for_event.
    if (line.find("\"event\"") == std::string::npos) {
      return line;
    }
    pending_events_ += line + "\n";
  }
  return "";
}

bool QemuMachine::wait_for_event(const std::string &event, const std::string &device,
                                 std::chrono::milliseconds timeout) {
  const auto matches = [&](const std::string &line) {
    return line.find("\"event\": \"" + event + "\"") != std::string::npos &&
           line.find("\"device\": \"" + device + "\"") != std::string::npos;
  };
  const auto deadline = Clock::now() + timeout;
  for (std::string line; Clock::now() < deadline;) {
    if (matches(pending_events_)) {
      pending_events_.clear();
      return true;
    }
    if ((line = monitor_line(deadline)).empty()) {
      return false;
    }
    pending_events_ = line;
  }
  return false;
}

std::string QemuMachine::query_pty(const std::string &chardev) {
  // {"return": [{"frontend-open": true, "filename": "pty:/dev/pts/3",
  //   "label": "uart"}, ...]}
  const std::string reply = monitor(R"({"execute":"query-chardev"})");
  const std::size_t label = reply.find("\"label\": \"" + chardev + "\"");
  if (label == std::string::npos) {
    return "";
  }
  const std::size_t entry = reply.rfind('{', label);
  const std::size_t name = reply.find("\"filename\": \"pty:", entry);
  if (name == std::string::npos || name > label) {
    return "";
  }
  const std::size_t start = name + std::strlen("\"filename\": \"pty:");
  return reply.substr(start, reply.find('"', start) - start);
}

void QemuMachine::send_line(const std::string &line) { write_all(to_console_, line + "\n"); }

std::optional<std::string> QemuMachine::next_line(Clock::time_point deadline) {
  std::optional<std::string> line = read_line(from_console_, console_buffer_, deadline);
  if (line) {
    console_tail_ += *line + "\n";
    if (console_tail_.size() > kConsoleTailSize) {
      console_tail_.erase(0, console_tail_.size() - kConsoleTailSize);
    }
  }
  return line;
}

std::string QemuMachine::console_tail() const { return console_tail_; }

std::string QemuMachine::pty_path(GuestLine line) const {
  return line == GuestLine::Uart ? uart_pty_ : usb_pty_;
}

std::string QemuMachine::output_log(GuestLine line) const {
  return file_in(image_.run_dir, line == GuestLine::Uart ? kUartOutputLog : kUsbOutputLog);
}

std::string QemuMachine::device_trace() const { return file_in(image_.run_dir, kDeviceTraceLog); }

bool QemuMachine::unplug_usb() {
  const std::string reply =
      monitor(std::string(R"({"execute":"device_del","arguments":{"id":")") + ftdi_id() + "\"}}");
  if (reply.find("\"return\"") == std::string::npos) {
    failure_ = "device_del refused: " + reply;
    return false;
  }
  usb_plugged_ = false;
  // The same id can be added again only once the device is gone.
  if (!wait_for_event("DEVICE_DELETED", ftdi_id(), kUnplugTimeout)) {
    failure_ = "the FTDI was not removed";
    return false;
  }
  return true;
}

bool QemuMachine::plug_usb() {
  ++pluggings_;
  const std::string reply =
      monitor(std::string(R"({"execute":"device_add","arguments":{"driver":"usb-serial","id":")") +
              ftdi_id() + R"(","chardev":")" + kUsbChardev + R"(","bus":")" + kUsbBus + "\"}}");
  if (reply.find("\"return\"") == std::string::npos) {
    failure_ = "device_add refused: " + reply;
    return false;
  }
  usb_plugged_ = true;
  return true;
}

std::string QemuMachine::ftdi_id() const { return kFtdiDevice + std::to_string(pluggings_); }

bool QemuMachine::wait_for_power_off(std::chrono::milliseconds timeout) {
  return qemu_ && qemu_->wait_for_exit(timeout).has_value();
}

} // namespace vm_host
