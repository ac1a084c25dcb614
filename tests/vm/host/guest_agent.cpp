#include "guest_agent.h"

#include <cstdlib>
#include <sstream>

namespace vm_host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kReadyLine = "@ready";

} // namespace

AgentReply::AgentReply(const std::string &pairs) : raw_(pairs) {
  std::istringstream words(pairs);
  for (std::string word; words >> word;) {
    const std::size_t equals = word.find('=');
    if (equals != std::string::npos) {
      values_[word.substr(0, equals)] = word.substr(equals + 1);
    }
  }
}

std::string AgentReply::text(const std::string &key) const {
  const auto found = values_.find(key);
  return found == values_.end() ? "" : found->second;
}

long long AgentReply::number(const std::string &key) const {
  const std::string value = text(key);
  char *end = nullptr;
  const long long number = std::strtoll(value.c_str(), &end, 10);
  return value.empty() || *end != '\0' ? -1 : number;
}

double AgentReply::ms(const std::string &key) const {
  const std::string value = text(key);
  return value.empty() ? -1.0 : std::atof(value.c_str());
}

Bytes AgentReply::bytes(const std::string &key) const {
  const std::string value = text(key);
  Bytes bytes;
  for (std::size_t i = 0; value != "-" && i + 1 < value.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(value.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string AgentReply::hex_text(const std::string &key) const {
  const Bytes decoded = bytes(key);
  return {decoded.begin(), decoded.end()};
}

std::vector<std::string> AgentReply::list(const std::string &key) const {
  std::vector<std::string> items;
  std::istringstream value(text(key));
  for (std::string item; std::getline(value, item, ',');) {
    if (item != "-") {
      items.push_back(item);
    }
  }
  return items;
}

bool GuestAgent::wait_until_ready(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (const auto line = machine_.next_line(deadline)) {
    if (*line == kReadyLine) {
      return true;
    }
  }
  return false;
}

void GuestAgent::start(const std::string &command) {
  waiting_for_ = next_id_++;
  machine_.send_line(std::to_string(waiting_for_) + " " + command);
}

AgentReply GuestAgent::finish(std::chrono::milliseconds timeout) {
  const std::string prefix = "@" + std::to_string(waiting_for_);
  const auto deadline = Clock::now() + timeout;
  // Answers to commands that timed out earlier, and kernel messages, are
  // passed over.
  while (const auto line = machine_.next_line(deadline)) {
    if (line->rfind(prefix + " ", 0) == 0 || *line == prefix) {
      return AgentReply(line->substr(prefix.size()));
    }
  }
  return AgentReply("error=no-answer");
}

AgentReply GuestAgent::call(const std::string &command, std::chrono::milliseconds timeout) {
  start(command);
  return finish(timeout);
}

void GuestAgent::quit() { machine_.send_line("quit"); }

} // namespace vm_host
