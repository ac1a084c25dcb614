// Lines on Windows: a COM port, such as one end of a virtual null-modem pair
// whose other end the host opens.
#include "line.h"

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
// A read returns this long after the last byte that came, so that a frame
// is passed on as it arrives; Wine honours no shorter way of returning at
// the first byte.
constexpr DWORD kReadIntervalMs = 1;

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

// Every byte passes both ways, whatever the previous program left set: no
// flow control, no XON/XOFF, no null bytes dropped, no error character, no
// abort on an error. These are the library's own settings.
void make_binary_transparent(DCB &dcb) {
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDsrSensitivity = FALSE;
}

std::runtime_error port_error(const std::string &name, const std::string &why) {
  return std::runtime_error(name + ": " + why);
}

// Reads and writes are overlapped, so that one thread can wait for bytes
// while another writes to the same port.
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
      OVERLAPPED pending{};
      pending.hEvent = read_event_;
      DWORD got = 0;
      DWORD error = 0;
      if (!ReadFile(port_, buffer, static_cast<DWORD>(size), &got, &pending)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING) {
          error = GetOverlappedResult(port_, &pending, &got, TRUE) ? 0 : GetLastError();
        }
      }
      // Wine reports a read that timed out; Windows reports no bytes.
      if (error == 0 || error == ERROR_TIMEOUT) {
        return static_cast<std::ptrdiff_t>(got);
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
  const HANDLE port_;
  const HANDLE read_event_;
  const HANDLE write_event_;
  std::mutex write_mutex_;
  std::atomic<bool> down_{false};
};

void configure(HANDLE port, const std::string &name) {
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(port, &dcb)) {
    throw port_error(name, "not a serial port");
  }
  (void)BuildCommDCBA(kLineSettings, &dcb);
  dcb.BaudRate = kLineSpeed;
  make_binary_transparent(dcb);
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
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = kReadIntervalMs;
  timeouts.ReadTotalTimeoutConstant = kReadWaitMs;
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
