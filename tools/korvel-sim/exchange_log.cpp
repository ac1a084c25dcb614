#include "exchange_log.h"

#include "fault_mix.h"
#include "hex_text.h"

#include <chrono>
#include <ctime>

namespace korvel::simtool {
namespace {

using sim::Fault;
using sim::fault_name;

std::string hex_or_empty(const sim::Bytes &bytes) {
  return bytes.empty() ? "(empty)" : tools::format_hex(bytes);
}

void add(std::string &list, const std::string &item) { list += (list.empty() ? "" : ", ") + item; }

} // namespace

std::string timestamp_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof(text), "%H:%M:%S", &local);
  std::snprintf(text + length, sizeof(text) - length, ".%03lld", static_cast<long long>(ms));
  return text;
}

std::string describe_faults(const sim::Answer &answer) {
  if (answer.silent) {
    return fault_name(Fault::Silence); // nothing else of the answer shows
  }
  std::string faults;
  if (answer.delay_ms > 0) {
    const Fault kind = answer.delay_ms >= sim::kMinLateMs ? Fault::LateReply : Fault::Delay;
    add(faults, std::string(fault_name(kind)) + " " + std::to_string(answer.delay_ms) + " ms");
  }
  if (!answer.noise_before.empty()) {
    add(faults, std::string(fault_name(Fault::Noise)) + " " +
                    std::to_string(answer.noise_before.size()) + " bytes");
  }
  if (answer.piece_size > 0) {
    add(faults, std::string(fault_name(Fault::Pieces)) + " of " +
                    std::to_string(answer.piece_size) + " bytes, " +
                    std::to_string(answer.piece_pause_ms) + " ms apart");
  }
  if (answer.corrupt_crc) {
    add(faults, fault_name(Fault::CrcError));
  }
  return faults;
}

std::string describe_exchange(const sim::Exchange &exchange) {
  std::string line = "request " + hex_or_empty(exchange.command) + " -> ";
  line += exchange.answer.silent ? "no reply" : "reply " + hex_or_empty(exchange.answer.payload);
  const std::string faults = describe_faults(exchange.answer);
  if (!faults.empty()) {
    line += " [" + faults + "]";
  }
  return line;
}

std::string describe_wire(const sim::Exchange &exchange) {
  std::string lines = "  wire in  " + tools::format_hex(sim::encode_request(exchange.command));
  if (!exchange.answer.silent) {
    sim::Bytes sent = exchange.answer.noise_before;
    const sim::Bytes frame = sim::encode_reply(exchange.answer);
    sent.insert(sent.end(), frame.begin(), frame.end());
    lines += "\n  wire out " + tools::format_hex(sent);
  }
  return lines;
}

} // namespace korvel::simtool
