// Lines on Windows: a COM port, such as one end of a virtual null-modem pair
// whose other end the host opens.
#include "line.h"
#include "port/transparent_line_win32.h"

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <windows.h>

namespace korvel::sim {
namespace {

constexpr const char *kDeviceNamespace = "\\\\.\\";
constexpr DWORD kLineSpeed = 38400;
// 8N1, as the library sets it; the speed is set on its own.
char kLineSettings[] = "parity=N data=8 stop=1";

std::string system_text(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof(text), nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return (message.empty() ? "system error" : message) + " (error " + std::to_string(error) + ")";
}

// Why CreateFile could not open a COM port, in words a user acts on.
std::string open_problem(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
    return "no such port (is the virtual null-modem pair installed, under this name?)";
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
    return "in use by another program (a COM port opens only once)";
  case ERROR_INVALID_NAME:
    return "not a valid port name";
  default:
    return system_text(error);
  }
}

std::runtime_error port_error(const std::string &name, const std::string &why) {
  return std::runtime_error(name + ": " + why);
}

// Reads and writes are overlapped, so that one thread can wait for bytes
// while another writes to the same port. A read waits for one byte with no
// timeout of the port's own, so it ends the moment a byte comes (the ways of
// asking the port itself to return at the first byte are not honoured
// alike by every driver, Wine's among them), then takes what else is queued.
class ComPortLine : public Line {
public:
  ComPortLine(HANDLE port, std::string name, std::string path)
      : Line(std::move(name), std::move(path)), port_(port),
        read_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        write_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

  ~ComPortLine() override {
    (void)CancelIoEx(port_, nullptr);
    (void)PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR);
    (void)CloseHandle(port_);
    (void)CloseHandle(read_event_);
    (void)CloseHandle(write_event_);
  }

  bool events_made() const { return read_event_ != nullptr && write_event_ != nullptr; }

  std::ptrdiff_t read(std::uint8_t *buffer, std::size_t size) override {
    if (!down_) {
      DWORD got = 0;
      // One byte, without a time limit of the port's own: the read ends the
      // moment a byte comes, and is called off when none has come in time.
      if (read_into(buffer, 1, kReadWaitMs, got) && got > 0) {
        DWORD more = 0;
        if (size > 1 && read_into(buffer + 1, queued(size - 1), INFINITE, more)) {
          got += more;
        }
        return static_cast<std::ptrdiff_t>(got);
      }
      if (!down_ && got == 0 && last_read_called_off_) {
        return 0;
      }
    }
    // Gone (unplugged, or let go of): wait rather than spin.
    Sleep(kReadWaitMs);
    return kLineDown;
  }

  bool write(const std::uint8_t *bytes, std::size_t count) override {
    if (down_) {
      return false;
    }
    std::lock_guard lock(write_mutex_);
    OVERLAPPED pending{};
    pending.hEvent = write_event_;
    DWORD written = 0;
    if (!WriteFile(port_, bytes, static_cast<DWORD>(count), &written, &pending)) {
      if (GetLastError() != ERROR_IO_PENDING ||
          !GetOverlappedResult(port_, &pending, &written, TRUE)) {
        return false;
      }
    }
    return written == count;
  }

  // The port stays open until the line goes; what is under way ends now and
  // nothing passes any more.
  void hang_up() override {
    down_ = true;
    (void)CancelIoEx(port_, nullptr);
  }

private:
  // How many of up to `most` bytes are queued already (a read of that many
  // ends at once).
  DWORD queued(std::size_t most) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port_, &errors, &status)) {
      return 0;
    }
    return status.cbInQue < most ? status.cbInQue : static_cast<DWORD>(most);
  }

  // Reads count bytes, or what has come when wait_ms runs out (then the read
  // is called off). False when the port failed.
  bool read_into(std::uint8_t *buffer, DWORD count, DWORD wait_ms, DWORD &got) {
    last_read_called_off_ = false;
    got = 0;
    if (count == 0) {
      return true;
    }
    OVERLAPPED pending{};
    pending.hEvent = read_event_;
    if (ReadFile(port_, buffer, count, &got, &pending)) {
      return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
      return false;
    }
    if (WaitForSingleObject(read_event_, wait_ms) == WAIT_TIMEOUT) {
      (void)CancelIoEx(port_, &pending);
    }
    if (GetOverlappedResult(port_, &pending, &got, TRUE)) {
      return true;
    }
    last_read_called_off_ = GetLastError() == ERROR_OPERATION_ABORTED;
    return false;
  }

  const HANDLE port_;
  const HANDLE read_event_;
  const HANDLE write_event_;
  std::mutex write_mutex_;
  std::atomic<bool> down_{false};
  bool last_read_called_off_ = false; // only the reading thread reads
};

void configure(HANDLE port, const std::string &name) {
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(port, &dcb)) {
    throw port_error(name, "not a serial port");
  }
  (void)BuildCommDCBA(kLineSettings, &dcb);
  dcb.BaudRate = kLineSpeed;
  // The library's own settings, and no input held back for a DSR line.
  korvel::port::make_binary_transparent(dcb);
  dcb.fDsrSensitivity = FALSE;
  // Both handshake lines raised: the adapter's side is ready, also for a
  // host that watches them.
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  // Some drivers (Wine's on a pseudo-terminal) refuse the handshake lines
  // and report the whole call failed; what counts is that the line itself
  // reads back as asked.
  (void)SetCommState(port, &dcb);
  DCB now{};
  now.DCBlength = sizeof(now);
  if (!GetCommState(port, &now) || now.BaudRate != kLineSpeed || now.ByteSize != 8 ||
      now.Parity != NOPARITY || now.StopBits != ONESTOPBIT) {
    throw port_error(name, "does not take 38400 8N1: " + system_text(GetLastError()));
  }
  // Reads without a time limit of the port's own (read() limits its wait
  // itself); a write gives up when the line takes nothing for a while.
  COMMTIMEOUTS timeouts{};
  timeouts.WriteTotalTimeoutConstant = kWriteStallLimitMs;
  if (!SetCommTimeouts(port, &timeouts)) {
    throw port_error(name, "cannot set its timeouts: " + system_text(GetLastError()));
  }
  (void)PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

} // namespace

bool own_line_available() { return false; }

std::unique_ptr<Line> open_own_line() {
  throw std::runtime_error("Windows has no pseudo-terminals: serve on a COM port with --device");
}

std::unique_ptr<Line> open_device_line(const std::string &path) {
  const bool in_namespace = path.starts_with("\\\\");
  const std::string device = in_namespace ? path : kDeviceNamespace + path;
  const std::string name = device.substr(std::char_traits<char>::length(kDeviceNamespace));
  if (path.empty()) {
    throw port_error("(no name)", open_problem(ERROR_INVALID_NAME));
  }
  // Not shared: no other program may open the port while the simulator has
  // it.
  const HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    throw port_error(name, open_problem(GetLastError()));
  }
  auto line = std::make_unique<ComPortLine>(port, name, device);
  if (!line->events_made()) {
    throw port_error(name, "cannot make its events: " + system_text(GetLastError()));
  }
  configure(port, name);
  return line;
}

} // namespace korvel::sim
