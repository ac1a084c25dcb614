// One library call on a line of its own: "MDB_IF_LineReset -> 0 (success)",
// with how long it took under -v.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace korvel::cli {

// Makes the call and prints its result, in the words of results.h unless
// meaning gives others for the result.
std::int32_t report_call(const std::string &call, bool verbose,
                         const std::function<std::int32_t()> &make_call,
                         const std::function<std::string(std::int32_t)> &meaning = {});

} // namespace korvel::cli
