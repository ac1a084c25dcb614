#include "port_publication.h"

#include "exchange_log.h"
#include "wine_port_link.h"

namespace korvel::simtool {
namespace {

// Both go before the adapter, the listing first: a scan never finds a
// listed port whose link is gone, nor a link to a closed (and perhaps
// reused) pseudo-terminal.
class WinePublication : public PortPublication {
public:
  WinePortLink link;
  WinePortListing listing; // declared last, so withdrawn first
};

} // namespace

std::unique_ptr<PortPublication> publish_port(const SimOptions &options, const std::string &device,
                                              std::string &why) {
  if (!options.wine_com) {
    return nullptr;
  }
  const std::filesystem::path prefix = options.wine_prefix.empty()
                                           ? default_wine_prefix()
                                           : std::filesystem::path(options.wine_prefix);
  const auto com = static_cast<unsigned>(*options.wine_com);
  // Checked before Wine runs, which would make a prefix where there is none.
  why = wine_prefix_problem(prefix);
  if (!why.empty()) {
    return nullptr;
  }
  auto published = std::make_unique<WinePublication>();
  const std::string port = "COM" + std::to_string(com);
  // Listed before the link is made: a Wine server that the listing starts
  // links the ports Wine found (COM1 to /dev/ttyS0) over earlier links.
  if (std::string failed = published->listing.add(prefix, com); failed.empty()) {
    say("korvel-sim: " + port + " listed in " + kSerialCommKey + " as " +
        published->listing.value_name());
  } else {
    complain(port + " not listed in " + kSerialCommKey + ", so a scan will not find it: " + failed);
  }
  why = published->link.create(prefix, com, device);
  if (!why.empty()) {
    return nullptr;
  }
  say("korvel-sim: " + port + " is " + published->link.path().string());
  return published;
}

} // namespace korvel::simtool
