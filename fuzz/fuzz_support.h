// Helpers shared by the fuzz targets.
#pragma once

#include "guarded.h"
#include "port/serial_port.h"
#include "serial_port_fake.h"

#include <cstdint>

namespace korvel::fuzz {

// Reports the failed condition and stops the run, so that libFuzzer keeps the
// input that led here.
void check(bool condition, const char *what);

// Opens a declared fake port as an interface port.
port::Handle open_fake_interface(port::fake::FakePort &line);

// A failure plan that fails call n (1-based) when bit n % 8 of mask is set.
port::fake::FailurePlan failing_calls(std::uint8_t mask);

} // namespace korvel::fuzz
