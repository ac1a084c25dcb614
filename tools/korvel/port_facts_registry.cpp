// Windows: the ports come from the library's own SERIALCOMM walk, so that
// they are exactly those a scan probes, in its order; the facts come from
// the registry values themselves and from SetupAPI's devices of the Ports
// and Modem classes, matched by their PortName. Nothing is opened.
#include "port_facts.h"

#include "port/port_list.h"

#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwchar>

namespace korvel::cli {
namespace {

constexpr const wchar_t *kSerialCommKey = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD kValueBufferChars = 256;
constexpr DWORD kPropertyBufferBytes = 1024;

// The classes whose devices have a COM port name.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kModemClass = {
    0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// FTDI's driver keeps the latency timer beside the port name; above 1 ms
// each reply waits.
constexpr DWORD kPromptLatencyMs = 1;
constexpr int kIdDigits = 4;

std::string utf8(const wchar_t *text, std::size_t length) {
  if (length == 0) {
    return "";
  }
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string converted(static_cast<std::size_t>(std::max(size, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), converted.data(), size, nullptr,
                      nullptr);
  return converted;
}

std::string utf8(const wchar_t *text) { return utf8(text, wcsnlen(text, kValueBufferChars)); }

struct ListedValue {
  std::string value_name;
  DWORD type = REG_NONE;
  // The data as text, when it is a string.
  std::string data;
};

std::vector<ListedValue> serialcomm_values() {
  std::vector<ListedValue> values;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return values;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[kValueBufferChars] = {};
    wchar_t data[kValueBufferChars] = {};
    DWORD name_chars = kValueBufferChars;
    DWORD data_bytes = sizeof(data) - sizeof(wchar_t);
    ListedValue value;
    if (RegEnumValueW(key, index, name, &name_chars, nullptr, &value.type,
                      reinterpret_cast<BYTE *>(data), &data_bytes) != ERROR_SUCCESS) {
      break;
    }
    value.value_name = utf8(name, name_chars);
    if (value.type == REG_SZ) {
      value.data = utf8(data);
    }
    values.push_back(std::move(value));
  }
  RegCloseKey(key);
  return values;
}

// The scan's own walk, with the empty name for each entry it would not open.
std::vector<std::string> scan_walk(bool &read) {
  std::vector<std::string> names;
  read = port::list_serial_ports(
      [](const char *name, void *context) {
        static_cast<std::vector<std::string> *>(context)->emplace_back(name);
        return false;
      },
      &names);
  return names;
}

struct SetupDevice {
  std::string port_name;
  std::string friendly_name;
  std::string hardware_id;
  std::string service;
  std::string manufacturer;
  std::optional<std::uint32_t> latency_timer_ms;
};

std::string device_property(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property) {
  wchar_t text[kPropertyBufferBytes / sizeof(wchar_t)] = {};
  DWORD type = 0;
  // One character short of the buffer, so that the text always ends; a
  // multi-string gives its first string.
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type,
                                         reinterpret_cast<BYTE *>(text),
                                         sizeof(text) - sizeof(wchar_t), nullptr) ||
      (type != REG_SZ && type != REG_MULTI_SZ)) {
    return "";
  }
  return utf8(text);
}

void read_device_key(HDEVINFO set, SP_DEVINFO_DATA &device, SetupDevice &found) {
  HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) {
    return;
  }
  wchar_t port[kValueBufferChars] = {};
  DWORD type = 0;
  DWORD size = sizeof(port) - sizeof(wchar_t);
  if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(port), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    found.port_name = utf8(port);
  }
  DWORD latency = 0;
  size = sizeof(latency);
  if (RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE *>(&latency),
                       &size) == ERROR_SUCCESS &&
      type == REG_DWORD) {
    found.latency_timer_ms = latency;
  }
  RegCloseKey(key);
}

// The devices of a class, present ones only or every one SetupAPI keeps.
std::vector<SetupDevice> setup_devices(const GUID &device_class, bool present_only) {
  std::vector<SetupDevice> devices;
  HDEVINFO set =
      SetupDiGetClassDevsW(&device_class, nullptr, nullptr, present_only ? DIGCF_PRESENT : 0);
  if (set == INVALID_HANDLE_VALUE) {
    return devices;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    SetupDevice found;
    read_device_key(set, device, found);
    if (found.port_name.empty()) {
      continue;
    }
    found.friendly_name = device_property(set, device, SPDRP_FRIENDLYNAME);
    found.hardware_id = device_property(set, device, SPDRP_HARDWAREID);
    found.service = device_property(set, device, SPDRP_SERVICE);
    found.manufacturer = device_property(set, device, SPDRP_MFG);
    devices.push_back(std::move(found));
  }
  SetupDiDestroyDeviceInfoList(set);
  return devices;
}

std::vector<SetupDevice> port_devices(bool present_only) {
  std::vector<SetupDevice> devices = setup_devices(kPortsClass, present_only);
  std::vector<SetupDevice> modems = setup_devices(kModemClass, present_only);
  devices.insert(devices.end(), modems.begin(), modems.end());
  return devices;
}

const SetupDevice *find_device(const std::vector<SetupDevice> &devices, const std::string &port) {
  for (const SetupDevice &device : devices) {
    if (_stricmp(device.port_name.c_str(), port.c_str()) == 0) {
      return &device;
    }
  }
  return nullptr;
}

// "VID_0403" in a hardware id: the four hex digits after the tag.
std::optional<std::uint16_t> id_after(const std::string &hardware_id, const char *tag) {
  std::string upper = hardware_id;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const std::size_t at = upper.find(tag);
  if (at == std::string::npos || at + std::strlen(tag) + kIdDigits > upper.size()) {
    return std::nullopt;
  }
  const std::string digits = upper.substr(at + std::strlen(tag), kIdDigits);
  if (digits.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(std::stoul(digits, nullptr, 16));
}

std::string latency_note(std::uint32_t ms) {
  return "the FTDI latency timer is " + std::to_string(ms) + " ms: each reply may reach the " +
         "host up to " + std::to_string(ms) + " ms late; set it to 1 ms in Device Manager: " +
         "the port's Properties, Port Settings, Advanced, Latency Timer";
}

void add_device_facts(const std::vector<SetupDevice> &present,
                      const std::vector<SetupDevice> &known, PortFacts &facts) {
  const SetupDevice *device = find_device(present, facts.name);
  if (device == nullptr) {
    const SetupDevice *absent = find_device(known, facts.name);
    facts.notes.push_back(
        absent != nullptr
            ? "a stale entry: SetupAPI's device for " + facts.name + " (" + absent->friendly_name +
                  ") is not present"
            : "SetupAPI knows no device for " + facts.name +
                  ": a stale (ghost) entry, or a port whose driver registers no device (some "
                  "virtual port drivers, Wine's ports)");
    return;
  }
  facts.friendly_name = device->friendly_name;
  facts.hardware_id = device->hardware_id;
  facts.driver = device->service;
  facts.manufacturer = device->manufacturer;
  facts.vid = id_after(device->hardware_id, "VID_");
  facts.pid = id_after(device->hardware_id, "PID_");
  facts.latency_timer_ms = device->latency_timer_ms;
  if (facts.latency_timer_ms && *facts.latency_timer_ms > kPromptLatencyMs) {
    facts.notes.push_back(latency_note(*facts.latency_timer_ms));
  }
}

std::string left_out_reason(const ListedValue &value) {
  if (value.type != REG_SZ) {
    return "a registry value of type " + std::to_string(value.type) +
           ", not a string: a scan skips it";
  }
  if (value.data.empty()) {
    return "an empty name: a scan skips it";
  }
  return "a name of " + std::to_string(value.data.size()) + " characters: a scan lists names of " +
         "at most " + std::to_string(port::kListedNameSize - 1) +
         ", to fit the host's buffer; give the name to version, reset or exec";
}

} // namespace

PortListing list_system_ports(const std::string &root) {
  PortListing listing;
  if (!root.empty()) {
    listing.failure = "--root reads a Linux tree; Windows lists its ports in the registry";
    return listing;
  }
  const std::vector<std::string> walk = scan_walk(listing.read);
  if (!listing.read) {
    listing.failure = "cannot read HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    return listing;
  }
  const std::vector<ListedValue> values = serialcomm_values();
  const std::vector<SetupDevice> present = port_devices(true);
  const std::vector<SetupDevice> known = port_devices(false);
  for (std::size_t i = 0; i < walk.size(); ++i) {
    PortFacts facts;
    // The values as read again; should the key have changed between the
    // two reads, the scan's names still decide.
    const ListedValue value = i < values.size() ? values[i] : ListedValue{};
    facts.device = value.value_name;
    facts.scanned = !walk[i].empty();
    facts.name = facts.scanned ? walk[i] : value.data.empty() ? value.value_name : value.data;
    if (facts.scanned) {
      add_device_facts(present, known, facts);
    } else {
      facts.left_out = left_out_reason(value);
    }
    listing.ports.push_back(std::move(facts));
  }
  return listing;
}

} // namespace korvel::cli
