#include "wine_port_link.h"

#include <cstdlib>

namespace korvel::simtool {

namespace fs = std::filesystem;

fs::path default_wine_prefix() {
  if (const char *prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0') {
    return prefix;
  }
  const char *home = std::getenv("HOME");
  return fs::path(home != nullptr ? home : "") / ".wine";
}

std::string WinePortLink::create(const fs::path &prefix, std::uint32_t com,
                                 const std::string &device) {
  const fs::path devices = prefix / "dosdevices";
  std::error_code error;
  if (!fs::is_directory(devices, error)) {
    return devices.string() + " is not a directory: is " + prefix.string() + " a Wine prefix?";
  }
  // Wine keeps its device names in lower case.
  const fs::path link = devices / ("com" + std::to_string(com));
  const auto status = fs::symlink_status(link, error);
  if (fs::exists(status) && !fs::is_symlink(status)) {
    return link.string() + " exists and is not a link";
  }
  fs::remove(link, error);
  fs::create_symlink(device, link, error);
  if (error) {
    return "cannot link " + link.string() + ": " + error.message();
  }
  link_ = link;
  device_ = device;
  return "";
}

WinePortLink::~WinePortLink() {
  std::error_code error;
  // Someone may have pointed the port elsewhere meanwhile; that link stays.
  if (!link_.empty() && fs::read_symlink(link_, error) == device_) {
    fs::remove(link_, error);
  }
}

} // namespace korvel::simtool
