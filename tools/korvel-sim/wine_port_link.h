// A COM port of a Wine prefix that leads to the simulated adapter, for as
// long as korvel-sim runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace korvel::simtool {

// $WINEPREFIX, or ~/.wine.
std::filesystem::path default_wine_prefix();

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

} // namespace korvel::simtool
