#include "exchange_log.h"

#include "fault_mix.h"
#include "hex_text.h"
#include "platform.h"
#include "wire_frames.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace korvel::simtool {
namespace {

using sim::Fault;
using sim::fault_name;

std::string hex_or_empty(const sim::Bytes &bytes) {
  return bytes.empty() ? "(empty)" : tools::format_hex(bytes);
}

void add(std::string &list, const std::string &item) { list += (list.empty() ? "" : ", ") + item; }

std::mutex g_console_mutex;

void put_line(std::FILE *stream, const std::string &line) {
  std::lock_guard lock(g_console_mutex);
  std::fputs(line.c_str(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

// What a played answer put on the line, in words.
std::string describe_played(const sim::Answer &answer) {
  const std::optional<DecodedFrame> frame = first_reply_frame(sim::wire_bytes(answer));
  if (!frame) {
    return "bytes without a whole reply frame";
  }
  return frame->valid ? "reply " + hex_or_empty(frame->payload) : "a reply with a bad CRC";
}

} // namespace

void say(const std::string &line) { put_line(stdout, line); }

void complain(const std::string &line) { put_line(stderr, "korvel-sim: " + line); }

std::string count_of(std::size_t count, const std::string &thing, const std::string &things) {
  return std::to_string(count) + " " + (count == 1 ? thing : things.empty() ? thing + "s" : things);
}

std::string timestamp_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::tm local = local_time(seconds);
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
  const sim::Answer &answer = exchange.answer;
  std::string line = "request " + hex_or_empty(exchange.command) + " -> ";
  if (answer.silent) {
    line += "no reply";
  } else if (!answer.played.empty()) {
    line += describe_played(answer);
  } else {
    line += "reply " + hex_or_empty(answer.payload);
  }
  if (!answer.origin.empty()) {
    return line + " [" + answer.origin + "]";
  }
  const std::string faults = describe_faults(answer);
  if (!faults.empty()) {
    line += " [" + faults + "]";
  }
  return line;
}

std::string describe_wire(const sim::Exchange &exchange) {
  std::string lines = "  wire in  " + tools::format_hex(sim::encode_request(exchange.command));
  if (!exchange.answer.silent) {
    lines += "\n  wire out " + tools::format_hex(sim::wire_bytes(exchange.answer));
  }
  return lines;
}

} // namespace korvel::simtool
