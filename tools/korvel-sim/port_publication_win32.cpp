#include "port_publication.h"

namespace korvel::simtool {

// The options that would publish (--wine-com) are refused on Windows.
std::unique_ptr<PortPublication> publish_port(const SimOptions &, const std::string &,
                                              std::string &) {
  return nullptr;
}

} // namespace korvel::simtool
