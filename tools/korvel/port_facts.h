// What the system knows of its serial ports, listed as a scan sees them: the
// ports a scan probes, in its order, then those it leaves out on purpose.
// The scan's own list decides which are probed; the facts only describe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::cli {

// Pseudo-terminals are named so below /dev: "pts/4".
constexpr std::string_view kPseudoTerminalPrefix = "pts/";

struct PortFacts {
  // The name to give the library: "ttyUSB0", "pts/4", "COM5".
  std::string name;
  bool scanned = false;
  // Why a scan leaves the port out; empty when it is probed.
  std::string left_out;
  // Linux: the sysfs device behind the port; Windows: the SERIALCOMM value
  // that lists it (\Device\Serial0).
  std::string device;
  // Linux: the kernel driver (ftdi_sio, cdc_acm, serial); Windows: the
  // driver service SetupAPI names (FTSER2K, usbser, Serial).
  std::string driver;
  std::optional<std::uint16_t> vid;
  std::optional<std::uint16_t> pid;
  std::string manufacturer;
  std::string product;
  std::string serial_number;
  // Linux: the USB interface or device (1-1.2:1.0).
  std::string usb_path;
  // FTDI devices hold each reply back for up to this long.
  std::optional<std::uint32_t> latency_timer_ms;
  // Windows, from SetupAPI: "USB Serial Port (COM5)", "FTDIBUS\COMPORT&VID_0403&PID_6001".
  std::string friendly_name;
  std::string hardware_id;
  // Facts that explain a surprise, each with what to do about it.
  std::vector<std::string> notes;
};

struct PortListing {
  // False when the system's port list could not be read; failure says why.
  bool read = false;
  std::string failure;
  std::vector<PortFacts> ports;
};

// Linux reads root's sys/ and dev/ ("" for the system's own); Windows reads
// the registry and SetupAPI and refuses a root.
PortListing list_system_ports(const std::string &root);

// The names a scan probes, in its order.
std::vector<std::string> scanned_names(const PortListing &listing);

// "1 port", "3 ports".
std::string port_count(std::size_t count);

// Why a scan of this system probes nothing, and what to do instead.
std::string nothing_probed_hint(const PortListing &listing);

} // namespace korvel::cli
