// port_calls_host: the library's Win32 port backend over stand-ins for the
// port calls of kernel32 (port_call_stand_ins.h), which show exactly what it
// asks of the system, also what Wine does not keep (fNull is forgotten when
// a port closes). No port is opened. One line per case:
//
//   op=interface / op=probe: the line settings and timeouts configure_port
//     wrote over a port that a previous program left with every flag set
//   op=restore: whether the probe's restore wrote back what it found
//   op=write: what a write that ends short returns, and in how many calls
//   op=open: the flags of the open, and which names are refused unopened
#include "port/serial_port.h"
#include "port_call_stand_ins.h"
#include "step_line.h"

#include <cstring>

namespace {

using korvel::port::Role;

const char *dtr_name(DWORD control) {
  switch (control) {
  case DTR_CONTROL_DISABLE:
    return "off";
  case DTR_CONTROL_ENABLE:
    return "on";
  default:
    return "handshake";
  }
}

const char *rts_name(DWORD control) {
  switch (control) {
  case RTS_CONTROL_DISABLE:
    return "off";
  case RTS_CONTROL_ENABLE:
    return "on";
  case RTS_CONTROL_TOGGLE:
    return "toggle";
  default:
    return "handshake";
  }
}

// Another program's port: every flag set that can stop, drop or replace
// bytes, another speed and framing, modem lines under handshake, and
// timeouts that let a write wait for ever.
void leave_port_dirty(PortCalls &calls) {
  DCB &dcb = calls.found_dcb;
  dcb = DCB{};
  dcb.DCBlength = sizeof(dcb);
  dcb.BaudRate = CBR_9600;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fBinary = FALSE;
  dcb.fParity = TRUE;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fOutxDsrFlow = TRUE;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fDsrSensitivity = TRUE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  dcb.fErrorChar = TRUE;
  dcb.fNull = TRUE;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.fAbortOnError = TRUE;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';
  calls.found_timeouts = COMMTIMEOUTS{};
}

void print_settings(const char *op, const PortCalls &calls) {
  const DCB &dcb = calls.written_dcb;
  const COMMTIMEOUTS &timeouts = calls.written_timeouts;
  StepLine(op)
      .add("result", 0)
      .add("dcb_writes", calls.dcb_writes)
      .add("baud", static_cast<std::int64_t>(dcb.BaudRate))
      .add("data_bits", dcb.ByteSize)
      .add("no_parity", dcb.Parity == NOPARITY && !dcb.fParity ? 1 : 0)
      .add("one_stop_bit", dcb.StopBits == ONESTOPBIT ? 1 : 0)
      .add("binary", dcb.fBinary)
      .add("cts", dcb.fOutxCtsFlow)
      .add("dsr", dcb.fOutxDsrFlow)
      .add("outx", dcb.fOutX)
      .add("inx", dcb.fInX)
      .add("null", dcb.fNull)
      .add("errorchar", dcb.fErrorChar)
      .add("abort", dcb.fAbortOnError)
      .add("dsr_sensitive", dcb.fDsrSensitivity)
      .add("dtr", dtr_name(dcb.fDtrControl))
      .add("rts", rts_name(dcb.fRtsControl))
      .add("timeout_writes", calls.timeout_writes)
      .add("read_interval", static_cast<std::int64_t>(timeouts.ReadIntervalTimeout))
      .add("read_multiplier", static_cast<std::int64_t>(timeouts.ReadTotalTimeoutMultiplier))
      .add("read_constant", static_cast<std::int64_t>(timeouts.ReadTotalTimeoutConstant))
      .add("write_multiplier", static_cast<std::int64_t>(timeouts.WriteTotalTimeoutMultiplier))
      .add("write_constant", static_cast<std::int64_t>(timeouts.WriteTotalTimeoutConstant))
      .print();
}

template <typename Record> bool same_bytes(const Record &a, const Record &b) {
  return std::memcmp(&a, &b, sizeof(Record)) == 0;
}

void configure_cases() {
  PortCalls &calls = port_calls();
  calls = PortCalls{};
  leave_port_dirty(calls);
  korvel::port::configure_port(stand_in_port(), Role::Interface);
  print_settings("interface", calls);

  calls = PortCalls{};
  leave_port_dirty(calls);
  calls.found_timeouts = {20, 5, 100, 0, 0};
  korvel::port::SavedSettings saved;
  korvel::port::configure_port(stand_in_port(), Role::Probe, &saved);
  print_settings("probe", calls);
  korvel::port::restore_settings(stand_in_port(), saved);
  StepLine("restore")
      .add("result", 0)
      .add("dcb", same_bytes(calls.written_dcb, calls.found_dcb) ? 1 : 0)
      .add("timeouts", same_bytes(calls.written_timeouts, calls.found_timeouts) ? 1 : 0)
      .print();
}

void write_case() {
  constexpr std::int32_t kFrameBytes = 10;
  constexpr DWORD kTakenBeforeTimeout = 3;
  const std::uint8_t frame[kFrameBytes] = {};
  PortCalls &calls = port_calls();
  calls = PortCalls{};
  calls.write_takes = kTakenBeforeTimeout;
  const std::int32_t short_result = korvel::port::write_bytes(stand_in_port(), frame, kFrameBytes);
  const int short_calls = calls.writes;
  calls.write_takes = kFrameBytes;
  const std::int32_t whole_result = korvel::port::write_bytes(stand_in_port(), frame, kFrameBytes);
  StepLine("write")
      .add("result", 0)
      .add("short", short_result)
      .add("short_calls", short_calls)
      .add("whole", whole_result)
      .print();
}

// 1 when the name is refused before anything is opened.
int refused(const char *name, Role role) {
  char path[korvel::port::kDevicePathSize];
  return korvel::port::make_device_path(name, role, path) ? 0 : 1;
}

void open_case() {
  PortCalls &calls = port_calls();
  calls = PortCalls{};
  calls.found_dcb.DCBlength = sizeof(DCB);
  char path[korvel::port::kDevicePathSize];
  const bool formed = korvel::port::make_device_path("COM3", Role::Interface, path);
  const korvel::port::Handle handle = korvel::port::open_port(path);
  // Present, at the anonymous level, with static tracking and all rights.
  const bool anonymous = (calls.open_flags & SECURITY_VALID_SQOS_FLAGS) ==
                         (SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS);
  StepLine("open")
      .add("result", formed && handle == stand_in_port() ? 0 : 1)
      .add("anonymous", anonymous ? 1 : 0)
      .add("com3", refused("COM3", Role::Interface) + refused("COM3", Role::Probe))
      .add("backslash", refused("pipe\\x", Role::Interface) + refused("pipe\\x", Role::Probe))
      .add("slash", refused("pipe/x", Role::Interface) + refused("pipe/x", Role::Probe))
      .add("trailing", refused("COM3\\", Role::Interface) + refused("COM3/", Role::Probe))
      .print();
}

} // namespace

int main() {
  configure_cases();
  write_case();
  open_case();
  return 0;
}
