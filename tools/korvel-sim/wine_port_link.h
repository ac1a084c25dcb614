// A COM port of a Wine prefix that leads to the simulated adapter, and is
// listed where a scan looks, for as long as korvel-sim runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace korvel::simtool {

// Where a serial driver lists its ports, and so where a Windows scan looks.
constexpr const char *kSerialCommKey = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// $WINEPREFIX, or ~/.wine.
std::filesystem::path default_wine_prefix();

// Why DIR is not a Wine prefix, or "".
std::string wine_prefix_problem(const std::filesystem::path &prefix);

class WinePortLink {
public:
  WinePortLink() = default;
  ~WinePortLink();
  WinePortLink(const WinePortLink &) = delete;
  WinePortLink &operator=(const WinePortLink &) = delete;

  // Makes DIR/dosdevices/comN a link to the device, replacing an earlier
  // link there (never anything else). Returns why it failed, or "".
  std::string create(const std::filesystem::path &prefix, std::uint32_t com,
                     const std::string &device);
  const std::filesystem::path &path() const { return link_; }

private:
  std::filesystem::path link_;
  std::string device_;
};

// COMN listed in the prefix's SERIALCOMM, through Wine's own `reg`. The key
// is volatile: Wine rebuilds it with each server, so a listing never outlives
// the prefix's server. A keeper, Wine's cmd reading from a pipe, holds that
// server up while korvel-sim runs and deletes the value once korvel-sim's end
// of the pipe closes, however korvel-sim ends (SIGKILL included).
class WinePortListing {
public:
  WinePortListing() = default;
  // Withdraws the listing and waits for the keeper to finish.
  ~WinePortListing();
  WinePortListing(const WinePortListing &) = delete;
  WinePortListing &operator=(const WinePortListing &) = delete;

  // Lists COMN under value_name(). Returns why it failed, or "".
  std::string add(const std::filesystem::path &prefix, std::uint32_t com);
  const std::string &value_name() const { return value_name_; }

private:
  pid_t keeper_ = -1;
  int keeper_input_ = -1;
  std::string value_name_;
};

} // namespace korvel::simtool
