// Windows: why a scan probed nothing.
#include "port_facts.h"

namespace korvel::cli {

std::string nothing_probed_hint(const PortListing &) {
  return "SERIALCOMM (HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM) lists no port a scan opens; give "
         "a port to version, reset or exec instead (korvel version COM5); under Wine, "
         "korvel-sim --wine-com 5 lists its port there while it runs";
}

} // namespace korvel::cli
