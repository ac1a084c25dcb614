// The adapter's end of a serial line: a pseudo-terminal of its own, or a
// serial device (a cable to the host's machine, one end of a virtual
// null-modem pair, or a real adapter's port when passing a session on).
//
// One backend per system, chosen in CMake: pseudo-terminals and serial
// devices on Linux, COM ports on Windows.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace korvel::sim {

using Clock = std::chrono::steady_clock;

// What a read reports when the line is gone (hung up, unplugged, closed):
// nothing will come until it is back, so wait before reading again.
constexpr std::ptrdiff_t kLineDown = -1;

// The longest a read waits for bytes before it returns with none.
constexpr std::uint32_t kReadWaitMs = 20;

// A write that finds no room on the line for this long gives up: a host
// that stops reading never stalls the simulator for ever.
constexpr std::uint32_t kWriteStallLimitMs = 1000;

class Line {
public:
  virtual ~Line() = default;
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;

  // Waits up to kReadWaitMs for bytes and reads what has come, at most size
  // bytes, as soon as it has come. Returns the count (0 when nothing came),
  // or kLineDown after waiting kReadWaitMs.
  virtual std::ptrdiff_t read(std::uint8_t *buffer, std::size_t size) = 0;

  // Writes all the bytes; false when the line refused them or stayed full
  // for kWriteStallLimitMs (the rest is dropped then).
  virtual bool write(const std::uint8_t *bytes, std::size_t count) = 0;

  // Lets go of the line as when it is unplugged: the far end sees it gone,
  // later reads report kLineDown and writes go nowhere. Safe while another
  // thread reads or writes.
  virtual void hang_up() = 0;

  // The name to give the library ("pts/4", "COM11") and the full path of the
  // device ("/dev/pts/4", "\\.\COM11").
  const std::string &port_name() const { return port_name_; }
  const std::string &device_path() const { return device_path_; }

protected:
  Line(std::string port_name, std::string device_path)
      : port_name_(std::move(port_name)), device_path_(std::move(device_path)) {}

private:
  std::string port_name_;
  std::string device_path_;
};

// Whether this system gives korvel-sim a pseudo-terminal of its own; where it
// does not, the line must be a serial device.
bool own_line_available();

// A pseudo-terminal of its own, its slave set raw. Once no other program
// has the slave open any more, however that program ended, an exclusive
// flag it left on the slave is cleared, so that the next client can open it.
// Throws std::runtime_error where the system has none, or when it fails.
std::unique_ptr<Line> open_own_line();

// A serial device, opened for this program alone and set to the adapter's
// line: 38400 8N1, binary-transparent, no flow control. Throws
// std::runtime_error saying why it could not (missing, busy, not a serial
// port).
std::unique_ptr<Line> open_device_line(const std::string &path);

// Which way bytes crossed the line.
enum class Direction : std::uint8_t { ToAdapter, ToHost };

// Bytes as they crossed the line, and when: for bytes that came in, when the
// read returned them; for bytes that went out, just before they were
// written.
struct Traffic {
  Direction direction;
  const std::uint8_t *bytes;
  std::size_t count;
  Clock::time_point at;
};

using TrafficObserver = std::function<void(const Traffic &)>;

} // namespace korvel::sim
