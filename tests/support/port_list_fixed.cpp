#include "port_list_fixed.h"

namespace korvel::port {
namespace fixed_list {
namespace {

struct FixedList {
  std::vector<std::string> names;
  int fail_after = -1;
};

FixedList &fixed() {
  static FixedList list;
  return list;
}

} // namespace

void set_ports(std::vector<std::string> names) {
  fixed().names = std::move(names);
  fixed().fail_after = -1;
}

void fail_after(int visited) { fixed().fail_after = visited; }

} // namespace fixed_list

bool list_serial_ports(PortVisitor visit, void *context) {
  const fixed_list::FixedList &list = fixed_list::fixed();
  int visited = 0;
  for (const std::string &name : list.names) {
    if (visited == list.fail_after) {
      return false;
    }
    ++visited;
    if (visit(name.c_str(), context)) {
      return true;
    }
  }
  return visited != list.fail_after;
}

} // namespace korvel::port
