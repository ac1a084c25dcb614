// A port list that tests set directly, standing in for the system's list.
#pragma once

#include "port/port_list.h"

#include <string>
#include <vector>

namespace korvel::port::fixed_list {

// The names listed from now on, in this order.
void set_ports(std::vector<std::string> names);

// Makes reading the list fail once this many ports have been visited
// (-1: never fails).
void fail_after(int visited);

} // namespace korvel::port::fixed_list
