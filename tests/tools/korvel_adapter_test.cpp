// korvel against a simulated adapter in this process: what reaches the
// adapter, what the user sees, and the exit status of each outcome.
#include "korvel_dll.h"
#include "plain_pty.h"
#include "private_mounts.h"
#include "sim_adapter.h"
#include "tool_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tool_test {
namespace {

using korvel::sim::Answer;
using korvel::sim::Bytes;
using korvel::sim::PtyAdapter;
using korvel::sim::reply;

std::vector<Bytes> commands_received(const PtyAdapter &adapter) {
  std::vector<Bytes> commands;
  for (const auto &exchange : adapter.exchanges()) {
    commands.push_back(exchange.command);
  }
  return commands;
}

std::string call_line(const std::string &call, int result) {
  return call + " -> " + std::to_string(result) + " (";
}

TEST(KorvelAgainstAdapter, VersionResetAndExecReachTheAdapterAndPrintTheirResults) {
  const Bytes special_command{0x0A, 0x7D, 0x02};
  const Bytes special_reply{0x7D, 0x02, 0x03, 0x00};
  PtyAdapter adapter([&](const Bytes &command) {
    return command == special_command ? reply(special_reply) : korvel::sim::default_answer(command);
  });
  const std::string port = adapter.port_name();

  const ProcessResult version = run_korvel({"-v", "version", port});
  EXPECT_EQ(version.exit_code, kExitSuccess) << version.output << version.errors;
  EXPECT_NE(version.output.find(call_line("MDB_IF_OpenInterface(" + port + ")", MDB_IF_OK)),
            std::string::npos)
      << version.output;
  EXPECT_NE(version.output.find(std::string("version: ") + korvel::sim::kDefaultVersionText),
            std::string::npos)
      << version.output;
  EXPECT_NE(version.output.find("(success) in "), std::string::npos) << "-v shows the time";

  const ProcessResult reset = run_korvel({"reset", port});
  EXPECT_EQ(reset.exit_code, kExitSuccess) << reset.output;
  EXPECT_NE(reset.output.find(call_line("MDB_IF_LineReset", MDB_IF_OK)), std::string::npos);
  EXPECT_EQ(reset.output.find(" ms"), std::string::npos) << "no times without -v";

  const ProcessResult exec = run_korvel({"exec", port, "0a:7d", "02"});
  EXPECT_EQ(exec.exit_code, kExitSuccess) << exec.output;
  EXPECT_NE(exec.output.find("reply (4 bytes): 7D 02 03 00"), std::string::npos) << exec.output;
  EXPECT_NE(exec.output.find(call_line("MDB_IF_CloseInterface", MDB_IF_OK)), std::string::npos);

  EXPECT_EQ(commands_received(adapter), (std::vector<Bytes>{{korvel::adapter::kReadVersionCommand},
                                                            {korvel::adapter::kLineResetCommand},
                                                            special_command}));
  EXPECT_EQ(adapter.bad_request_count(), 0U);
}

struct StatusCase {
  const char *command;
  Bytes answer;
  int result;
};

TEST(KorvelAgainstAdapter, AdapterStatusesBecomeResultCodesAndExitStatuses) {
  // Exec maps every unknown one-byte status to 6; reset and version to 5.
  const StatusCase cases[] = {{"exec", {0xFE}, MDB_IF_ADAPTER_STATUS_FE},
                              {"exec", {0xFD}, MDB_IF_OPEN_OR_CRC_ERROR},
                              {"exec", {0xFC}, MDB_IF_TIMEOUT},
                              {"exec", {0x05}, MDB_IF_ADAPTER_ERROR},
                              {"reset", {0x05}, MDB_IF_LINK_ERROR},
                              {"reset", {0xFF}, MDB_IF_ADAPTER_ERROR},
                              {"version", {0xFE}, MDB_IF_ADAPTER_STATUS_FE}};
  for (const StatusCase &status : cases) {
    PtyAdapter adapter([&](const Bytes &) { return reply(status.answer); });
    std::vector<std::string> args{status.command, adapter.port_name()};
    if (std::string(status.command) == "exec") {
      args.push_back("0A");
    }
    const ProcessResult run = run_korvel(args);
    SCOPED_TRACE(std::string(status.command) + " answered " + std::to_string(status.answer[0]));
    EXPECT_EQ(run.exit_code, kExitResultBase + status.result) << run.output;
    EXPECT_NE(run.output.find(" -> " + std::to_string(status.result) + " ("), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(call_line("MDB_IF_CloseInterface", MDB_IF_OK)), std::string::npos)
        << "the interface is closed after a failed call";
  }
}

TEST(KorvelAgainstAdapter, ExecShowsTheStatusByteOfAFailedReplyButNothingAfterSilence) {
  PtyAdapter refusing([](const Bytes &) { return reply({0xFE}); });
  const ProcessResult refused = run_korvel({"exec", refusing.port_name(), "0A"});
  EXPECT_NE(refused.output.find("reply (1 byte): FE\nthe adapter's status: 0xFE\n"),
            std::string::npos)
      << refused.output;
  // Any one-byte status but the four known ones is an error to exec.
  PtyAdapter odd([](const Bytes &) { return reply({0x33}); });
  const ProcessResult odd_status = run_korvel({"exec", odd.port_name(), "0A"});
  EXPECT_EQ(odd_status.exit_code, kExitResultBase + MDB_IF_ADAPTER_ERROR);
  EXPECT_NE(odd_status.output.find(" -> 6 (the adapter reported an error: status 0xFF, or to "
                                   "exec a one-byte status other than 0x00, 0xFC, 0xFD and "
                                   "0xFE)\nreply (1 byte): 33\nthe adapter's status: 0x33\n"),
            std::string::npos)
      << odd_status.output;

  PtyAdapter silent([](const Bytes &) {
    Answer answer;
    answer.silent = true;
    return answer;
  });
  const ProcessResult timed_out = run_korvel({"exec", silent.port_name(), "0A"});
  EXPECT_EQ(timed_out.exit_code, kExitResultBase + MDB_IF_TIMEOUT) << timed_out.output;
  EXPECT_EQ(timed_out.output.find("reply ("), std::string::npos) << timed_out.output;
  EXPECT_EQ(silent.request_count(), 3U) << "exec tries three times";
}

TEST(KorvelAgainstAdapter, VersionOnAnAdapterThatAnswersTheIdentificationSaysSo) {
  // What a scan finds: the reply starts with the identification, not with a
  // status byte, so the version read gives 5.
  PtyAdapter identifying([](const Bytes &) { return korvel::sim::identification(); });
  const ProcessResult run = run_korvel({"version", identifying.port_name()});
  EXPECT_EQ(run.exit_code, kExitResultBase + MDB_IF_LINK_ERROR) << run.output;
  EXPECT_NE(run.output.find(call_line("MDB_IF_GetVersion", MDB_IF_LINK_ERROR)), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find(std::string("the reply has no status byte: this adapter answers the "
                                        "identification, as korvel-sim --identify does (\"") +
                            korvel::sim::kIdentificationText + "\")"),
            std::string::npos)
      << run.output;

  // Another first byte is named as it is.
  PtyAdapter odd([](const Bytes &) { return reply({0x41, 0x42}); });
  const ProcessResult other = run_korvel({"version", odd.port_name()});
  EXPECT_EQ(other.exit_code, kExitResultBase + MDB_IF_LINK_ERROR) << other.output;
  EXPECT_NE(other.output.find("the reply starts with 0x41, which is no status byte"),
            std::string::npos)
      << other.output;
  EXPECT_NE(other.output.find(call_line("MDB_IF_CloseInterface", MDB_IF_OK)), std::string::npos);
}

struct OpenFailureCase {
  const char *command;
  std::string port;
  std::string says;
};

TEST(KorvelAgainstAdapter, APortThatCannotBeOpenedEndsBeforeAnyTransactionAndSaysWhy) {
  // Held the way another program using the library holds it.
  PtyAdapter held;
  const int holder = ::open(held.device_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  const std::string missing = kMissingPort;
  const OpenFailureCase cases[] = {
      {"version", missing, "could not open " + missing + ": no such port"},
      {"reset", "null", "could not open null: not a serial port"},
      {"reset", "/dev/pts/3", "give the name without /dev/: pts/3"},
      {"reset", held.port_name(),
       "could not open " + held.port_name() + ": held by another program"},
      {"reset", "pts/../null", "could not open pts/../null: not a port name the library accepts"}};
  for (const OpenFailureCase &failure : cases) {
    SCOPED_TRACE(failure.port);
    const ProcessResult run = run_korvel({failure.command, failure.port});
    EXPECT_EQ(run.exit_code, kExitResultBase + MDB_IF_OPEN_OR_CRC_ERROR) << run.output;
    EXPECT_NE(run.output.find(call_line("MDB_IF_OpenInterface(" + failure.port + ")",
                                        MDB_IF_OPEN_OR_CRC_ERROR)),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(failure.says + "\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("MDB_IF_CloseInterface"), std::string::npos) << run.output;
  }
  ::close(holder);
}

// The library refuses the kernel's console as busy; korvel says which it is.
// It runs in a child whose tty class names a pseudo-terminal as the console.
TEST(KorvelAgainstAdapter, TheSystemConsoleIsNamedAsSuch) {
  const PlainPty console;
  ASSERT_FALSE(console.path().empty());
  const std::string port = console.name();
  std::FILE *output = std::tmpfile();
  ASSERT_NE(output, nullptr);
  std::vector<std::string> argv{KORVEL_CLI, "version", port};
  std::vector<char *> args;
  for (std::string &arg : argv) {
    args.push_back(arg.data());
  }
  args.push_back(nullptr);

  const int status = private_mounts::run([&] {
    if (!private_mounts::fake_console("ttyFAKE", console.number()) ||
        dup2(fileno(output), STDOUT_FILENO) < 0) {
      return 1;
    }
    execv(args[0], args.data());
    return 1;
  });
  const std::string said = read_all(output);
  std::fclose(output);
  if (status == private_mounts::kUnavailable) {
    GTEST_SKIP() << "needs mounts of its own (root)";
  }
  EXPECT_EQ(status, kExitResultBase + MDB_IF_OPEN_OR_CRC_ERROR) << said;
  EXPECT_NE(said.find("could not open " + port + ": in use as the system console\n"),
            std::string::npos)
      << said;
}

} // namespace
} // namespace tool_test
