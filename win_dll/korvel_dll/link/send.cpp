#include "send.h"

namespace korvel::link {
namespace {

// The library-wide transmit buffer: holds one request frame from the start of
// the build until the write completes.
std::uint8_t g_transmit[kTransmitBufferSize];

} // namespace

bool send_request(port::Handle handle, const FittingCommand &command) {
  const std::int32_t length = encode_request(command, g_transmit);
  const std::uint32_t started = port::tick_ms();
  for (std::int32_t offset = 0; offset < length;) {
    const std::int32_t written = port::write_bytes(handle, g_transmit + offset, length - offset);
    if (written <= 0) {
      return false;
    }
    offset += written;
    // Each write may wait up to the bound; a line that takes a few bytes per
    // wait would otherwise stretch one frame over many bounds.
    if (offset < length && port::tick_ms() - started >= port::kWriteTimeoutMs) {
      return false;
    }
  }
  return true;
}

} // namespace korvel::link
