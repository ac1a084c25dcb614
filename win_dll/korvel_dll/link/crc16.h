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

// The register is kept in 32 bits: bits shifted out past bit 15 never reach
// the table index and are dropped at the end, and full-width operations spare
// the processor the partial-register merges of 16-bit arithmetic.
constexpr std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t *bytes,
                                     std::size_t count) {
  std::uint32_t value = crc;
  for (const std::uint8_t *end = bytes + count; bytes != end; ++bytes) {
    const std::uint32_t index = static_cast<std::uint8_t>(value >> 8) ^ *bytes;
    value = (value << 8) ^ kCrcTable[index];
  }
  return static_cast<std::uint16_t>(value);
}

constexpr std::uint16_t crc16(const std::uint8_t *bytes, std::size_t count) {
  return crc16_update(kCrcInitial, bytes, count);
}

constexpr std::uint8_t crc_high(std::uint16_t crc) { return static_cast<std::uint8_t>(crc >> 8); }
constexpr std::uint8_t crc_low(std::uint16_t crc) { return static_cast<std::uint8_t>(crc & 0xFFU); }

} // namespace korvel::link
