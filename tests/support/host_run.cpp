#include "host_run.h"

#include "wine_paths.h"
#include "wine_session.h"

#include <sstream>

namespace {

const std::string kNoField;

std::vector<std::string> split_words(const std::string &text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) {
    words.push_back(word);
  }
  return words;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::istringstream stream(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

} // namespace

HostStep::HostStep(const std::string &line) {
  for (const std::string &word : split_words(line)) {
    const std::size_t equals = word.find('=');
    if (equals != std::string::npos) {
      fields_[word.substr(0, equals)] = word.substr(equals + 1);
    }
  }
}

int HostStep::result() const { return has("result") ? static_cast<int>(number("result")) : -1; }

const std::string &HostStep::field(const std::string &key) const {
  const auto found = fields_.find(key);
  return found == fields_.end() ? kNoField : found->second;
}

long HostStep::number(const std::string &key) const {
  return has(key) ? std::stol(field(key)) : -1;
}

std::vector<std::uint8_t> HostStep::bytes(const std::string &key) const {
  const std::string &hex = field(key);
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string HostStep::text(const std::string &key) const {
  const std::vector<std::uint8_t> raw = bytes(key);
  return std::string(raw.begin(), raw.end());
}

bool HostRun::completed() const {
  return !process.timed_out && process.exit_code == 0 && steps.size() == steps_given;
}

std::vector<int> HostRun::results() const {
  std::vector<int> results;
  for (const HostStep &step : steps) {
    results.push_back(step.result());
  }
  return results;
}

std::string HostRun::transcript() const {
  return "wine_host exit code " + std::to_string(process.exit_code) +
         (process.timed_out ? " (timed out)" : "") + "\n--- output:\n" + process.output +
         "--- errors:\n" + process.errors;
}

HostRun run_host(const std::vector<std::string> &steps, std::chrono::milliseconds timeout) {
  std::vector<std::string> args{kWineHostExe};
  for (const std::string &step : steps) {
    for (const std::string &word : split_words(step)) {
      args.push_back(word);
    }
  }
  HostRun run;
  run.steps_given = steps.size();
  run.process = WineSession::get().run_windows_program(args, timeout);
  bool loaded = false;
  for (const std::string &line : split_lines(run.process.output)) {
    const HostStep step(line);
    if (step.op() == "load") {
      loaded = step.result() == 0;
    } else if (loaded) {
      run.steps.push_back(step);
    }
  }
  return run;
}
