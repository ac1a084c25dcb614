// The reply line, hex text, the clock, and the record of device opens.
#include "agent.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vm_agent {

Reply &Reply::add(const std::string &key, const std::string &value) {
  text_ += " " + key + "=" + (value.empty() ? "-" : value);
  return *this;
}

Reply &Reply::add(const std::string &key, long long value) {
  return add(key, std::to_string(value));
}

Reply &Reply::add_ms(const std::string &key, double ms) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", ms);
  return add(key, std::string(text));
}

Reply &Reply::add_hex(const std::string &key, const std::uint8_t *bytes, std::size_t count) {
  return add(key, to_hex(bytes, count));
}

double now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

std::string to_hex(const std::uint8_t *bytes, std::size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

bool from_hex(const std::string &text, Bytes &bytes) {
  bytes.clear();
  if (text == "-") {
    return true;
  }
  if (text.size() % 2 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + i, "%2x", &value) != 1) {
      return false;
    }
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return true;
}

std::string device_path(const std::string &port) { return "/dev/" + port; }

namespace {

constexpr char kDeviceDir[] = "/dev/";
// A descriptor reopened through its /proc entry opens what the entry links to.
constexpr char kOwnDescriptors[] = "/proc/self/fd/";
constexpr std::size_t kMostRecordedOpens = 64;
constexpr std::size_t kRecordedPathSize = 64;

bool g_recording = false;
char g_opened[kMostRecordedOpens][kRecordedPathSize];
std::size_t g_opened_count = 0;

bool starts_with(const char *text, const char *prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Records the device whose driver the open reaches; an O_PATH open reaches
// none.
void record_open(const char *path, int flags) {
  if (!g_recording || path == nullptr || (flags & O_PATH) != 0 ||
      g_opened_count == kMostRecordedOpens) {
    return;
  }
  char target[kRecordedPathSize] = {};
  if (starts_with(path, kOwnDescriptors)) {
    const ssize_t length = readlink(path, target, sizeof(target) - 1);
    target[length > 0 ? length : 0] = '\0';
    path = target;
  }
  if (starts_with(path, kDeviceDir)) {
    std::snprintf(g_opened[g_opened_count++], kRecordedPathSize, "%s", path);
  }
}

int open_and_record(const char *path, int flags, va_list rest) {
  mode_t mode = 0;
  if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
    mode = static_cast<mode_t>(va_arg(rest, unsigned));
  }
  record_open(path, flags);
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

} // namespace

void start_recording_opens() {
  g_opened_count = 0;
  g_recording = true;
}

std::vector<std::string> stop_recording_opens() {
  g_recording = false;
  return {g_opened, g_opened + g_opened_count};
}

} // namespace vm_agent

// The library opens ports through the C library's open(); this program's own
// definition comes first in symbol lookup, so every device the library
// opens is seen here, whichever path led to it.
extern "C" int open(const char *path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = vm_agent::open_and_record(path, flags, rest);
  va_end(rest);
  return fd;
}

extern "C" int open64(const char *path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = vm_agent::open_and_record(path, flags, rest);
  va_end(rest);
  return fd;
}
