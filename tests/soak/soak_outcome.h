// What a call's record must show when the function accepted a given reply,
// or when it failed without one.
#pragma once

#include "soak_check.h"

namespace soak {

// The result code, delivered bytes and untouched rest of the buffer that the
// call gives when it accepts this answer's reply. False for an answer that is
// no valid reply (silent, or failing its CRC check).
bool accepted_reply(const CallRecord &call, const Answer &answer);

// The call failed with this code and wrote nothing (exec: the length too).
bool failed_with(const CallRecord &call, std::int32_t code);

} // namespace soak
