// A simulated adapter on the master side of a pseudo-terminal, or on a
// serial device of its own.
//
// The library (or any host) opens the slave side as its serial port, or the
// other end of the cable to the device (of the virtual null-modem pair on
// Windows). A background thread decodes every request frame that arrives
// and answers as the behaviour decides: a reply frame, or silence, with
// optional faults, or bytes played back as they were recorded.
#pragma once

#include "adapter_commands.h"
#include "line.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korvel::sim {

using Bytes = std::vector<std::uint8_t>;

// Bytes to send as they are, this long after the request came.
struct TimedBytes {
  std::uint32_t after_ms = 0;
  Bytes bytes;
};

// How to answer one request.
struct Answer {
  bool silent = false;
  Bytes payload;
  std::uint8_t header1 = 0x00;
  std::uint8_t header2 = 0x00;
  bool corrupt_crc = false;
  std::uint32_t delay_ms = 0;
  // Written before the frame, as they are.
  Bytes noise_before;
  // When not 0, the frame goes out in pieces of this many bytes with a pause
  // between them.
  std::size_t piece_size = 0;
  std::uint32_t piece_pause_ms = 0;
  // When not empty, the answer is these bytes, each at its time, in place of
  // a frame built from the fields above.
  std::vector<TimedBytes> played;
  // Where a played answer came from, for whoever logs it.
  std::string origin;
};

// Decides the answer to a decoded command (the request's payload).
using Behaviour = std::function<Answer(const Bytes &command)>;

// Read-version answers status 0x00 and this text; line reset answers 0x00;
// any other command answers a single 0x00.
constexpr const char *kDefaultVersionText = "KORVEL-SIM 1.0";
Answer default_answer(const Bytes &command);

// The reply a scan identifies the adapter by: "MDB_IF" and more text, with
// no status byte in front.
constexpr const char *kIdentificationText = "MDB_IF KORVEL-SIM 1.0";
static_assert(std::string_view(kIdentificationText).starts_with(adapter::kIdentification));

// A reply frame carrying this payload.
Answer reply(Bytes payload);
// No reply at all.
Answer silent();
// The reply a scan recognises the adapter by.
Answer identification();

// The wire bytes of a reply frame (stuffed), as the adapter sends it.
Bytes encode_reply(const Answer &answer);

// Everything an answer puts on the line: the noise before its frame and the
// frame, or the bytes it plays; nothing for silence.
Bytes wire_bytes(const Answer &answer);

// The wire bytes of the request frame a host sends for a command.
Bytes encode_request(const Bytes &command);

struct Exchange {
  Bytes command;
  Answer answer;
};

// Told of each exchange once its answer has gone out (or been withheld).
using ExchangeObserver = std::function<void(const Exchange &)>;

// The adapter's end of a serial line, such as a null-modem cable to the
// host's machine.
struct SerialDevice {
  std::string path;
};

class PtyAdapter {
public:
  // Serves on a pseudo-terminal of its own (where the system has them).
  explicit PtyAdapter(Behaviour behaviour = default_answer);
  // Serves on the device instead, held exclusively and set to the adapter's
  // line settings (38400 8N1, raw, no flow control). Throws when it cannot
  // (missing, busy, not a serial device).
  PtyAdapter(const SerialDevice &device, Behaviour behaviour = default_answer);
  PtyAdapter(std::unique_ptr<Line> line, Behaviour behaviour);
  ~PtyAdapter();
  PtyAdapter(const PtyAdapter &) = delete;
  PtyAdapter &operator=(const PtyAdapter &) = delete;

  // The name to give the library ("pts/4") and the slave's full path; on a
  // serial device, the device's path below /dev and the path itself.
  const std::string &port_name() const { return line_->port_name(); }
  const std::string &device_path() const { return line_->device_path(); }

  void set_behaviour(Behaviour behaviour);
  // Both are called on the adapter's own thread, without the adapter's lock
  // held. The traffic observer sees every byte that came in, cut at the end
  // of each request frame before that request is answered, and every write.
  void set_observer(ExchangeObserver observer);
  void set_traffic_observer(TrafficObserver observer);

  // Every request decoded so far, with the answer it got.
  std::vector<Exchange> exchanges() const;
  std::size_t request_count() const;
  // Request frames that failed their CRC check.
  std::size_t bad_request_count() const;

  // Waits until at least count requests have been decoded, up to timeout_ms.
  bool wait_for_requests(std::size_t count, std::uint32_t timeout_ms) const;

  // Closes the master side, as when the adapter is unplugged.
  void hang_up();

private:
  void serve();
  void observe(Direction direction, const std::uint8_t *bytes, std::size_t count,
               Clock::time_point at);
  void handle_request(const Bytes &command, Clock::time_point arrived);
  void send_answer(const Answer &answer, Clock::time_point arrived);
  void write_all(const std::uint8_t *bytes, std::size_t count);

  std::unique_ptr<Line> line_;
  mutable std::mutex mutex_;
  Behaviour behaviour_;
  ExchangeObserver observer_;
  TrafficObserver traffic_observer_;
  std::vector<Exchange> exchanges_;
  std::size_t bad_requests_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

} // namespace korvel::sim
