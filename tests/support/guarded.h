// Host memory with guard bytes on both sides, to show that a call wrote
// nothing outside what it was given, and wrote inside it only what it may.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

constexpr std::size_t kGuardBytes = 32;

class GuardedBuffer {
public:
  explicit GuardedBuffer(std::size_t size) : size_(size), bytes_(size + 2 * kGuardBytes) {
    refill(0, size);
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
      bytes_[i] = fill_at(i);
      bytes_[kGuardBytes + size + i] = fill_at(kGuardBytes + size + i);
    }
  }
  std::uint8_t *data() { return bytes_.data() + kGuardBytes; }
  const std::uint8_t *data() const { return bytes_.data() + kGuardBytes; }
  char *text() { return reinterpret_cast<char *>(data()); }
  std::int32_t capacity() const { return static_cast<std::int32_t>(size_); }

  // Puts the fill back over count bytes of the handed-out part, from offset.
  void refill(std::size_t offset, std::size_t count) {
    for (std::size_t i = kGuardBytes + offset; i < kGuardBytes + offset + count; ++i) {
      bytes_[i] = fill_at(i);
    }
  }
  // Nothing outside the first `written` bytes of the handed-out part changed.
  bool untouched_beyond(std::size_t written) const {
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
      const bool written_part = i >= kGuardBytes && i < kGuardBytes + written;
      if (!written_part && bytes_[i] != fill_at(i)) {
        return false;
      }
    }
    return true;
  }
  // Guards included: nothing in the buffer or around it changed.
  bool untouched() const { return untouched_beyond(0); }
  bool guards_intact() const { return untouched_beyond(size_); }

private:
  // Varies with the position, so that a shifted copy is told apart from it.
  static std::uint8_t fill_at(std::size_t index) {
    constexpr unsigned kFillBase = 0xA5;
    return static_cast<std::uint8_t>(kFillBase ^ index);
  }

  std::size_t size_;
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
