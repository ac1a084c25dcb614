// CRC-16 of the link frames: polynomial 0x1021, initial value 0xFFFF, most
// significant bit first, no reflection, no final XOR. The check value over
// "123456789" is 0x29B1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvel::link {

constexpr std::uint16_t kCrcPolynomial = 0x1021;
constexpr std::uint16_t kCrcInitial = 0xFFFF;

constexpr std::array<std::uint16_t, 256> make_crc_table() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned index = 0; index < table.size(); ++index) {
    auto crc = static_cast<std::uint16_t>(index << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc =
          static_cast<std::uint16_t>((crc & 0x8000U) != 0 ? (crc << 1) ^ kCrcPolynomial : crc << 1);
    }
    table[index] = crc;
  }
  return table;
}

inline constexpr std::array<std::uint16_t, 256> kCrcTable = make_crc_table();

constexpr std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t *bytes,
                                     std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ bytes[i]) & 0xFFU]);
  }
  return crc;
}

constexpr std::uint16_t crc16(const std::uint8_t *bytes, std::size_t count) {
  return crc16_update(kCrcInitial, bytes, count);
}

constexpr std::uint8_t crc_high(std::uint16_t crc) { return static_cast<std::uint8_t>(crc >> 8); }
constexpr std::uint8_t crc_low(std::uint16_t crc) { return static_cast<std::uint8_t>(crc & 0xFFU); }

} // namespace korvel::link
