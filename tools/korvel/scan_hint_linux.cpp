// Linux: why a scan probed nothing.
#include "port_facts.h"

namespace korvel::cli {

std::string nothing_probed_hint(const PortListing &listing) {
  std::string terminals;
  for (const PortFacts &facts : listing.ports) {
    if (facts.name.starts_with(kPseudoTerminalPrefix)) {
      terminals += (terminals.empty() ? "" : ", ") + facts.name;
    }
  }
  const std::string example = terminals.empty() ? std::string(kPseudoTerminalPrefix) + "4"
                                                : terminals.substr(0, terminals.find(','));
  return "on Linux a scan lists only serial devices with hardware behind them, never "
         "pseudo-terminals such as korvel-sim's" +
         (terminals.empty() ? "" : " (here " + terminals + ")") +
         "; give such a port to version, reset or exec instead: korvel version " + example;
}

} // namespace korvel::cli
