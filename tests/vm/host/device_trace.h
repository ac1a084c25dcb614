// What the guest's drivers programmed into the emulated hardware, read from
// QEMU's trace of its 16550A and FTDI models: the device's side of the
// settings, independent of what the driver reports back to a program.
#pragma once

#include <string>

namespace vm_host {

struct LineProgramming {
  long baud = -1;
  char parity = '?';
  int data_bits = -1;
  int stop_bits = -1;
};

// The UART's line as last programmed. QEMU's trace does not say which UART;
// the console's settings never change after boot, so a change after mark
// (an offset into the trace) is the other UART's.
LineProgramming uart_programming(const std::string &trace_path, std::size_t mark);

struct FtdiProgramming {
  LineProgramming line;
  // 0 for none; otherwise the FTDI's flow-control request index.
  int flow_control = -1;
  // From the modem-control requests since the device was last reset.
  int dtr = -1;
  int rts = -1;
};

// The FTDI as last programmed, over the whole trace.
FtdiProgramming ftdi_programming(const std::string &trace_path);

// The trace's current length, for uart_programming.
std::size_t trace_mark(const std::string &trace_path);

} // namespace vm_host
