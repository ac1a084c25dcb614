#include "exchange.h"

#include "link/receiver.h"
#include "link/send.h"

namespace korvel {

ExchangeResult exchange(port::Handle handle, const std::uint8_t *command, std::int32_t count,
                        std::uint8_t *reply, std::int32_t *reply_length) {
  (void)port::purge_receive(handle);
  if (!port::purge_receive(handle)) {
    return {false, link::kLinkNotReceived};
  }
  link::LinkStatus status = link::kLinkNotReceived;
  if (link::send_request(handle, command, count)) {
    status = link::receive_reply(handle, reply, reply_length);
  }
  port::sleep_ms(kSettleDelayMs);
  return {true, status};
}

} // namespace korvel
