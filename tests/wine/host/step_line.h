// One line of output per step: "op=<step> result=<code> ms=<duration> ..."
// with further key=value pairs, all without spaces.
#pragma once

#include <cstdint>
#include <string>

#include <windows.h>

// Wall time of one library call, from the performance counter.
class CallTimer {
public:
  CallTimer();
  std::int64_t elapsed_ms() const;

private:
  LARGE_INTEGER started_;
};

class StepLine {
public:
  explicit StepLine(const char *op);
  StepLine &add(const char *key, const std::string &value);
  StepLine &add(const char *key, std::int64_t value);
  // Writes the line and flushes it, so that a step that hangs still leaves
  // the earlier ones behind.
  void print() const;

private:
  std::string text_;
};

std::string to_hex(const std::uint8_t *bytes, std::size_t count);
// The bytes up to the first zero within capacity, in hex; "unterminated" if
// there is no zero byte there.
std::string terminated_text_hex(const char *text, std::size_t capacity);
