#include "device_trace.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vm_host {
namespace {

// The FTDI's vendor request that sets DTR and RTS: the high byte says which
// lines change, the low byte their new state.
constexpr unsigned kSetModemControl = 0x4001;
constexpr unsigned kDtrBit = 0x01;
constexpr unsigned kRtsBit = 0x02;
constexpr unsigned kChangeShift = 8;

std::string lines_from(const std::string &path, std::size_t mark) {
  std::ifstream file(path, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(mark));
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void apply_modem_control(unsigned value, FtdiProgramming &ftdi) {
  const unsigned changes = value >> kChangeShift;
  if ((changes & kDtrBit) != 0) {
    ftdi.dtr = (value & kDtrBit) != 0 ? 1 : 0;
  }
  if ((changes & kRtsBit) != 0) {
    ftdi.rts = (value & kRtsBit) != 0 ? 1 : 0;
  }
}

} // namespace

std::size_t trace_mark(const std::string &trace_path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(trace_path, error);
  return error ? 0 : static_cast<std::size_t>(size);
}

LineProgramming uart_programming(const std::string &trace_path, std::size_t mark) {
  LineProgramming uart;
  std::istringstream lines(lines_from(trace_path, mark));
  for (std::string line; std::getline(lines, line);) {
    // serial_update_parameters baudrate=38400 parity='N' data=8 stop=1
    LineProgramming seen;
    if (std::sscanf(line.c_str(),
                    "serial_update_parameters baudrate=%ld parity='%c' data=%d stop=%d", &seen.baud,
                    &seen.parity, &seen.data_bits, &seen.stop_bits) == 4) {
      uart = seen;
    }
  }
  return uart;
}

FtdiProgramming ftdi_programming(const std::string &trace_path) {
  FtdiProgramming ftdi;
  std::istringstream lines(lines_from(trace_path, 0));
  for (std::string line; std::getline(lines, line);) {
    unsigned request = 0;
    unsigned value = 0;
    long baud = 0;
    char parity = 0;
    int data_bits = 0;
    int stop_bits = 0;
    int flow = 0;
    if (line.rfind("usb_serial_reset ", 0) == 0) {
      ftdi = FtdiProgramming{};
      ftdi.dtr = 0;
      ftdi.rts = 0;
    } else if (std::sscanf(line.c_str(), "usb_serial_set_baud dev %*d:%*d baud rate %ld", &baud) ==
               1) {
      ftdi.line.baud = baud;
    } else if (std::sscanf(line.c_str(),
                           "usb_serial_set_data dev %*d:%*d parity %c, data bits %d, stop bits %d",
                           &parity, &data_bits, &stop_bits) == 3) {
      ftdi.line.parity = parity;
      ftdi.line.data_bits = data_bits;
      ftdi.line.stop_bits = stop_bits;
    } else if (std::sscanf(line.c_str(), "usb_serial_set_flow_control dev %*d:%*d flow control %d",
                           &flow) == 1) {
      ftdi.flow_control = flow;
    } else if (std::sscanf(line.c_str(),
                           "usb_serial_handle_control dev %*d:%*d got control %x, value %x",
                           &request, &value) == 2 &&
               request == kSetModemControl) {
      apply_modem_control(value, ftdi);
    }
  }
  return ftdi;
}

} // namespace vm_host
