#include "port_facts.h"

namespace korvel::cli {

std::string port_count(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " port" : " ports");
}

std::vector<std::string> scanned_names(const PortListing &listing) {
  std::vector<std::string> names;
  for (const PortFacts &facts : listing.ports) {
    if (facts.scanned) {
      names.push_back(facts.name);
    }
  }
  return names;
}

} // namespace korvel::cli
