// What the adapter understands besides host commands: its own commands, the
// status bytes of its short replies, and how it identifies itself.
#pragma once

#include <cstdint>

namespace korvel::adapter {

constexpr std::uint8_t kReadVersionCommand = 0x01;
constexpr std::uint8_t kLineResetCommand = 0x02;

// Status bytes the adapter answers with; a one-byte reply is read as one.
constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusTimeout = 0xFC;
constexpr std::uint8_t kStatusCrcError = 0xFD;
constexpr std::uint8_t kStatusFE = 0xFE;
constexpr std::uint8_t kStatusError = 0xFF;

// An adapter answers the read-version command of a scan with a payload that
// starts with this text (no status byte in front) and has more after it.
constexpr char kIdentification[] = "MDB_IF";

} // namespace korvel::adapter
