// A session with a simulated adapter on a pseudo-terminal, through the
// library's exported functions: what a host does, and what crosses the line.
#include "korvel_dll.h"
#include "sim_adapter.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

namespace {

using korvel::sim::Answer;
using korvel::sim::Bytes;

const char *meaning(int32_t result) {
  switch (result) {
  case MDB_IF_OK:
    return "success";
  case MDB_IF_BAD_HANDLE:
    return "not the current interface handle";
  case MDB_IF_OPEN_OR_CRC_ERROR:
    return "open failed or CRC error";
  case MDB_IF_TIMEOUT:
    return "timeout";
  case MDB_IF_LINK_ERROR:
    return "link failure or unknown status";
  case MDB_IF_ADAPTER_ERROR:
    return "adapter reported an error";
  case MDB_IF_ADAPTER_STATUS_FE:
    return "adapter reported status 0xFE";
  default:
    return "unknown result";
  }
}

std::string hex(const Bytes &bytes) {
  std::string text;
  char digits[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof(digits), "%02X ", byte);
    text += digits;
  }
  return text.empty() ? "(none)" : text.substr(0, text.size() - 1);
}

void report(const char *call, int32_t result, std::chrono::steady_clock::time_point started) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - started)
                      .count();
  std::printf("%-28s -> %d (%s), %lld ms\n", call, result, meaning(result),
              static_cast<long long>(ms));
}

void show_line(const korvel::sim::PtyAdapter &adapter, std::size_t from) {
  const auto exchanges = adapter.exchanges();
  for (std::size_t i = from; i < exchanges.size(); ++i) {
    std::printf("    request  %s   wire: %s\n", hex(exchanges[i].command).c_str(),
                hex(korvel::sim::encode_request(exchanges[i].command)).c_str());
    if (exchanges[i].answer.silent) {
      std::printf("    reply    (silence)\n");
    } else {
      std::printf("    reply    %s   wire: %s\n", hex(exchanges[i].answer.payload).c_str(),
                  hex(korvel::sim::encode_reply(exchanges[i].answer)).c_str());
    }
  }
}

} // namespace

int main() {
  std::atomic<bool> adapter_silent = false;
  korvel::sim::PtyAdapter adapter([&adapter_silent](const Bytes &command) {
    Answer answer = korvel::sim::default_answer(command);
    answer.silent = adapter_silent;
    if (command.size() > 1) {
      answer.payload = {0x00, 0x7D, 0x02, 0x03}; // needs stuffing on the way back too
    }
    return answer;
  });
  std::printf("simulated adapter on %s\n\n", adapter.device_path().c_str());

  MDB_IF_HANDLE handle = nullptr;
  auto started = std::chrono::steady_clock::now();
  int32_t result = MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle);
  report("MDB_IF_OpenInterface", result, started);
  if (result != MDB_IF_OK) {
    return 1;
  }

  char text[64] = {};
  std::size_t seen = 0;
  started = std::chrono::steady_clock::now();
  result = MDB_IF_GetVersion(handle, text, sizeof(text));
  report("MDB_IF_GetVersion", result, started);
  std::printf("    version text \"%s\"\n", text);
  show_line(adapter, seen);
  seen = adapter.request_count();

  started = std::chrono::steady_clock::now();
  report("MDB_IF_LineReset", MDB_IF_LineReset(handle), started);
  show_line(adapter, seen);
  seen = adapter.request_count();

  const std::uint8_t command[] = {0x02, 0x03, 0x7D, 0x10};
  std::uint8_t reply[32];
  int32_t length = sizeof(reply);
  started = std::chrono::steady_clock::now();
  result = MDB_IF_ExecCommand(handle, command, sizeof(command), reply, &length);
  report("MDB_IF_ExecCommand", result, started);
  std::printf("    delivered %s\n", hex(Bytes(reply, reply + (result == 0 ? length : 0))).c_str());
  show_line(adapter, seen);
  seen = adapter.request_count();

  adapter_silent = true;
  length = sizeof(reply);
  started = std::chrono::steady_clock::now();
  result = MDB_IF_ExecCommand(handle, command, sizeof(command), reply, &length);
  report("MDB_IF_ExecCommand (silent)", result, started);
  show_line(adapter, seen);

  started = std::chrono::steady_clock::now();
  report("MDB_IF_CloseInterface", MDB_IF_CloseInterface(handle), started);
  return 0;
}
