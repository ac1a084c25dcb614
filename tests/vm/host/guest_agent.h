// The host's end of the agent in the guest: a command goes out on the
// console, one answer line comes back.
#pragma once

#include "qemu_machine.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vm_host {

using Bytes = std::vector<std::uint8_t>;

// One answer: "key=value" pairs; "error" is set when the agent could not
// carry the command out.
class AgentReply {
public:
  AgentReply() = default;
  explicit AgentReply(const std::string &pairs);

  bool ok() const { return !has("error"); }
  bool has(const std::string &key) const { return values_.count(key) != 0; }
  // The value, "" when missing.
  std::string text(const std::string &key) const;
  // A number; -1 when missing or not a number.
  long long number(const std::string &key) const;
  double ms(const std::string &key = "ms") const;
  // A hex value decoded; a value of hex text as text.
  Bytes bytes(const std::string &key) const;
  std::string hex_text(const std::string &key) const;
  // "-" stands for an empty list.
  std::vector<std::string> list(const std::string &key) const;
  const std::string &raw() const { return raw_; }

private:
  std::map<std::string, std::string> values_;
  std::string raw_;
};

class GuestAgent {
public:
  explicit GuestAgent(QemuMachine &machine) : machine_(machine) {}

  // Waits for the agent's first line after the guest has booted.
  bool wait_until_ready(std::chrono::milliseconds timeout);

  // Sends the command and waits for its answer.
  AgentReply call(const std::string &command, std::chrono::milliseconds timeout = kDefaultTimeout);
  // The same in two halves, for a test that acts on the host while the
  // guest is inside the call.
  void start(const std::string &command);
  AgentReply finish(std::chrono::milliseconds timeout = kDefaultTimeout);

  void quit();

  static constexpr std::chrono::milliseconds kDefaultTimeout{30000};

private:
  QemuMachine &machine_;
  int next_id_ = 1;
  int waiting_for_ = 0;
};

} // namespace vm_host
