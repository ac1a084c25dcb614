#include "exchange.h"

#include "link/receiver.h"
#include "link/send.h"

namespace korvel {

link::LinkStatus exchange(port::Handle handle, const link::FittingCommand &command,
                          std::uint8_t *reply, std::int32_t *reply_length) {
  if (!port::purge_receive(handle)) {
    return link::LinkStatus::NotReceived;
  }
  link::LinkStatus status = link::LinkStatus::NotReceived;
  if (link::send_request(handle, command)) {
    status = link::receive_reply(handle, reply, reply_length);
  }
  port::sleep_ms(kSettleDelayMs);
  return status;
}

} // namespace korvel
