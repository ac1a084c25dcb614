// A simulated adapter on the master side of a pseudo-terminal, or on a
// serial device of its own.
//
// The library (or any host) opens the slave side as its serial port, or the
// other end of the cable to the device. A background thread decodes every
// request frame that arrives and answers as the behaviour decides: a reply
// frame, or silence, with optional faults.
#pragma once

#include "adapter_commands.h"

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
  explicit PtyAdapter(Behaviour behaviour = default_answer);
  // Serves on the device instead, set to the adapter's line settings (38400
  // 8N1, raw, no flow control). Throws when it is not a terminal.
  PtyAdapter(const SerialDevice &device, Behaviour behaviour = default_answer);
  ~PtyAdapter();
  PtyAdapter(const PtyAdapter &) = delete;
  PtyAdapter &operator=(const PtyAdapter &) = delete;

  // The name to give the library ("pts/4") and the slave's full path; on a
  // serial device, the device's path below /dev and the path itself.
  const std::string &port_name() const { return port_name_; }
  const std::string &device_path() const { return device_path_; }

  void set_behaviour(Behaviour behaviour);
  // Called on the adapter's own thread, without the adapter's lock held.
  void set_observer(ExchangeObserver observer);

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
  void handle_request(const Bytes &command);
  void send_answer(const Answer &answer);
  void write_all(const std::uint8_t *bytes, std::size_t count);

  int master_fd_ = -1;
  int slave_keepalive_fd_ = -1;
  std::string port_name_;
  std::string device_path_;
  mutable std::mutex mutex_;
  Behaviour behaviour_;
  ExchangeObserver observer_;
  std::vector<Exchange> exchanges_;
  std::size_t bad_requests_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

} // namespace korvel::sim
