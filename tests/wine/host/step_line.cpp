#include "step_line.h"

#include <cstdio>
#include <cstring>

CallTimer::CallTimer() { QueryPerformanceCounter(&started_); }

std::int64_t CallTimer::elapsed_ms() const {
  LARGE_INTEGER now;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return (now.QuadPart - started_.QuadPart) * 1000 / frequency.QuadPart;
}

StepLine::StepLine(const char *op) : text_(std::string("op=") + op) {}

StepLine &StepLine::add(const char *key, const std::string &value) {
  text_ += std::string(" ") + key + "=" + value;
  return *this;
}

StepLine &StepLine::add(const char *key, std::int64_t value) {
  return add(key, std::to_string(value));
}

void StepLine::print() const {
  std::printf("%s\n", text_.c_str());
  std::fflush(stdout);
}

std::string to_hex(const std::uint8_t *bytes, std::size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (std::size_t i = 0; i < count; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0x0F];
  }
  return hex;
}

std::string terminated_text_hex(const char *text, std::size_t capacity) {
  const void *zero = std::memchr(text, 0, capacity);
  if (zero == nullptr) {
    return "unterminated";
  }
  const auto length = static_cast<std::size_t>(static_cast<const char *>(zero) - text);
  return to_hex(reinterpret_cast<const std::uint8_t *>(text), length);
}
