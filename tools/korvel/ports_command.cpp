#include "ports_command.h"

#include "results.h"

#include <cstdio>
#include <string_view>

namespace korvel::cli {
namespace {

// Names are at most this wide in most listings, so that their facts line up.
constexpr int kNameColumn = 9;
constexpr const char *kNoteIndent = "          ";

std::string hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04x", static_cast<unsigned>(value));
  return text;
}

void add(std::string &text, const std::string &item) {
  if (item.empty()) {
    return;
  }
  if (!text.empty()) {
    text += ", ";
  }
  text += item;
}

void print_port(const PortFacts &facts, bool verbose) {
  std::string line = facts_text(facts, verbose);
  if (!facts.scanned) {
    line += (line.empty() ? "" : "; ") + std::string("left out: ") + facts.left_out;
  }
  std::printf("%-*s %s\n", kNameColumn, facts.name.c_str(), line.c_str());
  for (const std::string &note : facts.notes) {
    std::printf("%snote: %s\n", kNoteIndent, note.c_str());
  }
}

void print_text(const PortListing &listing, bool verbose) {
  std::size_t scanned = 0;
  for (const PortFacts &facts : listing.ports) {
    scanned += facts.scanned ? 1 : 0;
  }
  const std::size_t left_out = listing.ports.size() - scanned;
  if (scanned == 0) {
    std::printf("no port that a scan probes\n");
  } else {
    std::printf("%s that a scan probes, in its order:\n", port_count(scanned).c_str());
  }
  for (const PortFacts &facts : listing.ports) {
    if (facts.scanned) {
      print_port(facts, verbose);
    }
  }
  if (left_out == 0) {
    return;
  }
  if (!verbose) {
    std::printf("%zu more that a scan leaves out (korvel -v ports lists them, with the reason)\n",
                left_out);
    return;
  }
  std::printf("%zu that a scan leaves out:\n", left_out);
  for (const PortFacts &facts : listing.ports) {
    if (!facts.scanned) {
      print_port(facts, verbose);
    }
  }
}

std::string json_string(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

// Absent facts are null, so that every record has every key.
std::string json_text(const std::string &text) { return text.empty() ? "null" : json_string(text); }

template <typename Number> std::string json_number(const std::optional<Number> &number) {
  return number ? std::to_string(*number) : "null";
}

std::string json_record(const PortFacts &facts) {
  std::string notes = "[";
  for (std::size_t i = 0; i < facts.notes.size(); ++i) {
    notes += (i > 0 ? ", " : "") + json_string(facts.notes[i]);
  }
  notes += "]";
  const std::pair<const char *, std::string> fields[] = {
      {"name", json_string(facts.name)},
      {"scanned", facts.scanned ? "true" : "false"},
      {"left_out", json_text(facts.left_out)},
      {"device", json_text(facts.device)},
      {"driver", json_text(facts.driver)},
      {"vid", json_number(facts.vid)},
      {"pid", json_number(facts.pid)},
      {"manufacturer", json_text(facts.manufacturer)},
      {"product", json_text(facts.product)},
      {"serial_number", json_text(facts.serial_number)},
      {"usb_path", json_text(facts.usb_path)},
      {"latency_timer_ms", json_number(facts.latency_timer_ms)},
      {"friendly_name", json_text(facts.friendly_name)},
      {"hardware_id", json_text(facts.hardware_id)},
      {"notes", notes},
  };
  std::string record = "{";
  for (const auto &[key, value] : fields) {
    record += (record.size() > 1 ? ", " : "") + json_string(key) + ": " + value;
  }
  return record + "}";
}

void print_json(const PortListing &listing, bool verbose) {
  std::printf("[");
  bool first = true;
  for (const PortFacts &facts : listing.ports) {
    if (facts.scanned || verbose) {
      std::printf("%s\n  %s", first ? "" : ",", json_record(facts).c_str());
      first = false;
    }
  }
  std::printf("%s]\n", first ? "" : "\n");
}

} // namespace

std::string facts_text(const PortFacts &facts, bool verbose) {
  std::string text;
  add(text, facts.friendly_name);
  add(text, facts.driver.empty() ? "" : "driver " + facts.driver);
  if (facts.vid && facts.pid) {
    add(text, "USB " + hex4(*facts.vid) + ":" + hex4(*facts.pid));
  }
  add(text, facts.manufacturer);
  add(text, facts.product);
  add(text, facts.serial_number.empty() ? "" : "serial number " + facts.serial_number);
  add(text, facts.usb_path.empty() ? "" : "USB path " + facts.usb_path);
  if (facts.latency_timer_ms) {
    add(text, "latency timer " + std::to_string(*facts.latency_timer_ms) + " ms");
  }
  add(text, facts.hardware_id.empty() ? "" : "hardware id " + facts.hardware_id);
  if (verbose) {
    add(text, facts.device);
  }
  return text;
}

int run_ports(const Invocation &invocation) {
  const PortListing listing = list_system_ports(invocation.root);
  if (!listing.read) {
    std::fprintf(stderr, "korvel: %s\n", listing.failure.c_str());
    return kExitNothingFound;
  }
  if (invocation.json) {
    print_json(listing, invocation.verbose);
  } else {
    print_text(listing, invocation.verbose);
  }
  return kExitSuccess;
}

} // namespace korvel::cli
