// Where else korvel-sim makes its port known while it runs: on Linux, a
// COM port of a Wine prefix linked to it and listed where a scan looks
// (--wine-com). One implementation per system, chosen in CMake.
#pragma once

#include "sim_options.h"

#include <memory>
#include <string>

namespace korvel::simtool {

// Withdraws what it published when it goes.
class PortPublication {
public:
  virtual ~PortPublication() = default;
};

// Publishes the device as the options ask and says so; nothing when they
// ask for nothing. Sets why, and returns nothing, when it failed.
std::unique_ptr<PortPublication> publish_port(const SimOptions &options, const std::string &device,
                                              std::string &why);

} // namespace korvel::simtool
