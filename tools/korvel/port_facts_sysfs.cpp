// Linux: the ports come from the library's own sysfs list, so that they are
// exactly those a scan probes, in its order; the facts come from the device
// each tty entry leads to, and the left-out entries from the rest of the tty
// class and from /dev/pts. Nothing is opened.
#include "port_facts.h"

#include "port/port_list_sysfs.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char *kClassTty = "sys/class/tty";
constexpr const char *kDev = "dev";
// What the kernel writes its console to ("tty0 ttyS0").
constexpr const char *kConsoleActive = "console/active";
// On newer kernels, devices of this bus stand between a UART's tty and the
// device whose driver says what the UART is (serial, serial8250).
constexpr const char *kSerialBaseBus = "serial-base";
// The serial core's type 0: no UART was found behind the port.
constexpr char kUnknownSerialType = '0';
// How far up from a tty's device its USB device, or a real driver, may lie.
constexpr int kSearchDepth = 8;
// An FTDI device holds back the bytes it has received for up to this many
// milliseconds before it sends them to the host; above 1 each reply waits.
constexpr std::uint32_t kPromptLatencyMs = 1;
constexpr int kHex = 16;

struct Tree {
  fs::path root;
  fs::path class_tty;
  fs::path dev;
};

std::string first_line(const fs::path &path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) {
    line.pop_back();
  }
  return line;
}

std::string link_name(const fs::path &link) {
  std::error_code error;
  const fs::path target = fs::read_symlink(link, error);
  return error ? "" : target.filename().string();
}

template <typename Number> std::optional<Number> read_number(const fs::path &path, int base) {
  const std::string text = first_line(path);
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// A path of the tree as it reads on the machine the tree belongs to.
std::string shown(const Tree &tree, const fs::path &path) {
  return "/" + path.lexically_relative(tree.root).string();
}

bool is_console(const std::string &consoles, const std::string &name) {
  std::istringstream words(consoles);
  std::string word;
  while (words >> word) {
    if (word == name) {
      return true;
    }
  }
  return false;
}

bool is_placeholder(const fs::path &entry) {
  const std::string type = first_line(entry / "type");
  return !type.empty() && type[0] == kUnknownSerialType &&
         (type.size() == 1 || type[1] < '0' || type[1] > '9');
}

// The device that says what the port is: past the serial-base bus devices.
fs::path driver_device(fs::path device) {
  for (int i = 0; i < kSearchDepth && link_name(device / "subsystem") == kSerialBaseBus; ++i) {
    device = device.parent_path();
  }
  return device;
}

void add_usb_facts(const Tree &tree, const fs::path &device, PortFacts &facts) {
  fs::path below;
  fs::path at = device;
  for (int i = 0; i < kSearchDepth && at != tree.root && at.has_relative_path(); ++i) {
    if (fs::exists(at / "idVendor")) {
      facts.vid = read_number<std::uint16_t>(at / "idVendor", kHex);
      facts.pid = read_number<std::uint16_t>(at / "idProduct", kHex);
      facts.manufacturer = first_line(at / "manufacturer");
      facts.product = first_line(at / "product");
      facts.serial_number = first_line(at / "serial");
      // The interface (1-2:1.0) where the path passed through one.
      const bool interface = below.filename().string().find(':') != std::string::npos;
      facts.usb_path = (interface ? below : at).filename().string();
      return;
    }
    below = at;
    at = at.parent_path();
  }
}

std::string latency_note(const std::string &name, std::uint32_t ms) {
  return "the FTDI latency timer is " + std::to_string(ms) + " ms: each reply may reach the " +
         "host up to " + std::to_string(ms) + " ms late; set it to 1 ms (as root): echo 1 > " +
         "/sys/class/tty/" + name + "/device/latency_timer (a udev rule keeps it when the " +
         "device is plugged in again)";
}

std::string group_name(gid_t group) {
  const struct group *entry = getgrgid(group);
  return entry != nullptr ? entry->gr_name : std::to_string(group);
}

// Whether this user may open the device node, decided by access(), which
// opens nothing.
std::string access_note(const Tree &tree, const std::string &name) {
  const fs::path node = tree.dev / name;
  struct stat info {};
  if (stat(node.c_str(), &info) != 0) {
    return "there is no device node " + shown(tree, node) + ", so the port cannot be opened";
  }
  if (access(node.c_str(), R_OK | W_OK) == 0 || errno != EACCES) {
    return "";
  }
  char mode[8];
  std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777));
  const std::string group = group_name(info.st_gid);
  return "you may not open " + shown(tree, node) + " (mode " + mode + ", group " + group +
         "): members of group " + group + " may; on Debian, as root: adduser YOUR_NAME " + group +
         ", then log in again";
}

PortFacts tty_facts(const Tree &tree, const std::string &name) {
  PortFacts facts;
  facts.name = name;
  std::error_code error;
  const fs::path device = fs::canonical(tree.class_tty / name / "device", error);
  if (error) {
    return facts;
  }
  facts.device = shown(tree, device);
  facts.driver = link_name(driver_device(device) / "driver");
  add_usb_facts(tree, device, facts);
  facts.latency_timer_ms = read_number<std::uint32_t>(device / "latency_timer", 10);
  return facts;
}

void add_usable_port_notes(const Tree &tree, PortFacts &facts) {
  if (facts.latency_timer_ms && *facts.latency_timer_ms > kPromptLatencyMs) {
    facts.notes.push_back(latency_note(facts.name, *facts.latency_timer_ms));
  }
  if (std::string note = access_note(tree, facts.name); !note.empty()) {
    facts.notes.push_back(note);
  }
}

// Why the scan's list holds an entry with hardware behind it not; empty for
// one that is no port to give the library (its notes are then left out).
std::string left_out_reason(const fs::path &entry, const std::string &name,
                            const std::string &consoles, std::size_t scanned, bool &usable) {
  usable = false;
  if (is_console(consoles, name)) {
    return "the kernel's console: a probe would write to it, and console output would garble an "
           "adapter's frames";
  }
  if (is_placeholder(entry)) {
    return "a placeholder without hardware: the serial core found no UART (type 0)";
  }
  usable = true;
  if (name.size() >= port::kListedNameSize) {
    return "a name of " + std::to_string(name.size()) + " characters: a scan lists names of at " +
           "most " + std::to_string(port::kListedNameSize - 1) +
           ", to fit the host's buffer; give the name to version, reset or exec";
  }
  if (scanned >= port::kMaxListedPorts) {
    return "beyond the " + std::to_string(port::kMaxListedPorts) + " ports a scan lists";
  }
  return "left out by the scan's rules";
}

std::vector<PortFacts> left_out_ttys(const Tree &tree, const std::vector<std::string> &scanned) {
  const std::string consoles = first_line(tree.class_tty / kConsoleActive);
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry &entry : fs::directory_iterator(tree.class_tty, error)) {
    const std::string name = entry.path().filename().string();
    std::error_code ignored;
    // Without a device behind it an entry is a virtual terminal, ptmx or the
    // console device: none is a serial port.
    if (std::find(scanned.begin(), scanned.end(), name) == scanned.end() &&
        fs::exists(entry.path() / "device", ignored)) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
    return port::natural_less(a.c_str(), b.c_str());
  });
  std::vector<PortFacts> ports;
  for (const std::string &name : names) {
    PortFacts facts = tty_facts(tree, name);
    bool usable = false;
    facts.left_out = left_out_reason(tree.class_tty / name, name, consoles, scanned.size(), usable);
    if (usable) {
      add_usable_port_notes(tree, facts);
    }
    ports.push_back(std::move(facts));
  }
  return ports;
}

bool all_digits(const std::string &text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<PortFacts> pseudo_terminals(const Tree &tree) {
  std::vector<unsigned long> numbers;
  std::error_code error;
  for (const fs::directory_entry &entry :
       fs::directory_iterator(tree.dev / kPseudoTerminalPrefix, error)) {
    const std::string name = entry.path().filename().string();
    if (all_digits(name)) {
      numbers.push_back(std::stoul(name));
    }
  }
  std::sort(numbers.begin(), numbers.end());
  std::vector<PortFacts> ports;
  for (const unsigned long number : numbers) {
    PortFacts facts;
    facts.name = std::string(kPseudoTerminalPrefix) + std::to_string(number);
    facts.left_out = "a pseudo-terminal, as korvel-sim's: a scan never lists these; give the " +
                     std::string("name to version, reset or exec");
    ports.push_back(std::move(facts));
  }
  return ports;
}

} // namespace

PortListing list_system_ports(const std::string &root) {
  PortListing listing;
  std::error_code error;
  Tree tree;
  tree.root = root.empty() ? fs::path("/") : fs::canonical(root, error);
  if (error) {
    listing.failure = "cannot read " + root + ": " + error.message();
    return listing;
  }
  tree.class_tty = tree.root / kClassTty;
  tree.dev = tree.root / kDev;
  port::PortNameList list{};
  errno = 0;
  if (!port::list_sysfs_ports(tree.class_tty.c_str(), list)) {
    listing.failure = "cannot read " + tree.class_tty.string() + ": " + std::strerror(errno);
    return listing;
  }
  listing.read = true;
  std::vector<std::string> scanned;
  for (std::size_t i = 0; i < list.count; ++i) {
    scanned.emplace_back(list.names[i]);
    PortFacts facts = tty_facts(tree, scanned.back());
    facts.scanned = true;
    add_usable_port_notes(tree, facts);
    listing.ports.push_back(std::move(facts));
  }
  const auto append = [&listing](std::vector<PortFacts> more) {
    std::move(more.begin(), more.end(), std::back_inserter(listing.ports));
  };
  append(left_out_ttys(tree, scanned));
  append(pseudo_terminals(tree));
  return listing;
}

} // namespace korvel::cli
