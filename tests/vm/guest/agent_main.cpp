// korvel-vm-agent: the guest's end of the virtual-machine tests.
#include "agent.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace vm_agent;

const std::map<std::string, Command> &commands() {
  static const std::map<std::string, Command> table = {
      {"open", open_command},
      {"close", close_command},
      {"exec", exec_command},
      {"version", version_command},
      {"reset", reset_command},
      {"scan", scan_command},
      {"fork-open", fork_open_command},
      {"settings", settings_command},
      {"spoil", spoil_command},
      {"hold", hold_command},
      {"plain-open", plain_open_command},
      {"queue", queue_command},
      {"wait", wait_command},
      {"fds", fds_command},
      {"run", run_command},
      {"kernel-log", kernel_log_command},
      {"clean", clean_command},
  };
  return table;
}

// The console echoes what it receives; the host reads only the answers.
void stop_console_echo() {
  termios console{};
  if (tcgetattr(STDIN_FILENO, &console) == 0) {
    console.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    (void)tcsetattr(STDIN_FILENO, TCSANOW, &console);
  }
}

std::string answer(AgentState &state, const std::string &line) {
  std::istringstream words(line);
  std::string id;
  std::string name;
  words >> id >> name;
  Args args;
  for (std::string word; words >> word;) {
    args.push_back(word);
  }
  Reply reply;
  const auto command = commands().find(name);
  if (command == commands().end()) {
    reply.fail("unknown-command");
  } else if (!command->second(state, args, reply)) {
    reply.fail("bad-arguments");
  }
  return "@" + id + reply.text();
}

} // namespace

int main() {
  // A child run for a test that writes to a closed pipe must not end the
  // agent with it.
  std::signal(SIGPIPE, SIG_IGN);
  stop_console_echo();
  AgentState state;
  std::printf("@ready\n");
  std::fflush(stdout);
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.empty()) {
      continue;
    }
    if (line == "quit") {
      break;
    }
    std::printf("%s\n", answer(state, line).c_str());
    std::fflush(stdout);
  }
  return 0;
}
