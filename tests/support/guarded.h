// Host memory with guard bytes on both sides, to show that a call wrote
// nothing outside what it was given, and wrote inside it only what it may.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

constexpr std::size_t kGuardBytes = 32;
constexpr std::uint8_t kGuardFill = 0xA5;

class GuardedBuffer {
public:
  explicit GuardedBuffer(std::size_t size) : bytes_(size + 2 * kGuardBytes, kGuardFill) {}
  std::uint8_t *data() { return bytes_.data() + kGuardBytes; }
  char *text() { return reinterpret_cast<char *>(data()); }
  // Guards included: nothing in the buffer or around it changed.
  bool untouched() const {
    return std::all_of(bytes_.begin(), bytes_.end(),
                       [](std::uint8_t b) { return b == kGuardFill; });
  }
  bool guards_intact() const {
    const auto intact = [](auto first) {
      return std::all_of(first, first + kGuardBytes,
                         [](std::uint8_t b) { return b == kGuardFill; });
    };
    return intact(bytes_.begin()) && intact(bytes_.end() - kGuardBytes);
  }

private:
  std::vector<std::uint8_t> bytes_;
};

// One value with guard bytes around it (an out-handle, a reply length).
template <typename T> class Guarded {
public:
  explicit Guarded(T value) : buffer_(sizeof(T)) { set(value); }
  T *get() { return reinterpret_cast<T *>(buffer_.data()); }
  T value() {
    T value;
    std::memcpy(&value, buffer_.data(), sizeof(T));
    return value;
  }
  void set(T value) { std::memcpy(buffer_.data(), &value, sizeof(T)); }
  bool guards_intact() const { return buffer_.guards_intact(); }

private:
  GuardedBuffer buffer_;
};
