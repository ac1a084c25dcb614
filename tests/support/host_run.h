// Running wine_host under Wine and reading back what each step did.
#pragma once

#include "process_runner.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One output line of wine_host: "op=exec result=0 ms=12 len=2 reply=0102 ...".
class HostStep {
public:
  explicit HostStep(const std::string &line);

  const std::string &op() const { return field("op"); }
  // The result code the library returned, or -1 when the line has none.
  int result() const;
  bool has(const std::string &key) const { return fields_.count(key) != 0; }
  // The field's text, or "" when the line has no such field.
  const std::string &field(const std::string &key) const;
  long number(const std::string &key) const;
  // A field of hex digits, decoded.
  std::vector<std::uint8_t> bytes(const std::string &key) const;
  std::string text(const std::string &key) const;

private:
  std::map<std::string, std::string> fields_;
};

struct HostRun {
  ProcessResult process;
  // The steps' lines, after the line that reports loading the library.
  std::vector<HostStep> steps;
  std::size_t steps_given = 0;

  // The host loaded the library, ran every step and exited normally.
  bool completed() const;
  std::vector<int> results() const;
  // What the host printed, for failure messages.
  std::string transcript() const;
};

// Runs wine_host with the given steps, one string each ("exec #1 0203 16"),
// in the shared Wine prefix.
HostRun run_host(const std::vector<std::string> &steps,
                 std::chrono::milliseconds timeout = std::chrono::seconds(60));
