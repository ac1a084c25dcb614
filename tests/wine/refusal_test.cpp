// Refused arguments through the Windows DLL under Wine, the cases that
// wine_host cannot pass (null pointers, negative lengths and capacities):
// refusal_host.exe makes each call with guarded buffers against COM5.
#include "korvel_dll.h"
#include "wine_paths.h"
#include "wine_test.h"

#include <filesystem>
#include <map>
#include <sstream>

namespace wine_test {
namespace {

constexpr const char *kRefusalHostExe = KORVEL_REFUSAL_HOST_EXE;
// A refusal does not wait for anything; Wine's tick moves in 16 ms steps.
constexpr long kRefusalMs = 50;

using WineRefusals = WineTest;

TEST_F(WineRefusals, RefusedArgumentsLeaveTheBuffersAndTheLineAlone) {
  if (std::string(kRefusalHostExe).empty()) {
    GTEST_SKIP() << "refusal_host.exe was not built (no MinGW-w64 compiler)";
  }
  const std::filesystem::path host(kRefusalHostExe);
  std::filesystem::copy_file(kWindowsDll, host.parent_path() / "korvel_dll.dll",
                             std::filesystem::copy_options::overwrite_existing);
  PtyAdapter adapter;
  attach("COM5", adapter);
  const ProcessResult run =
      WineSession::get().run_windows_program({host.string(), "COM5"}, std::chrono::seconds(60));
  ASSERT_EQ(run.exit_code, 0) << run.output << run.errors;

  const std::map<std::string, int> expected = {
      {"open", MDB_IF_OK},
      {"exec-negative-length", MDB_IF_LINK_ERROR},
      {"exec-most-negative-length", MDB_IF_LINK_ERROR},
      {"exec-null-command", MDB_IF_LINK_ERROR},
      {"exec-null-reply-length", MDB_IF_LINK_ERROR},
      {"exec-negative-capacity", MDB_IF_LINK_ERROR},
      {"exec-null-reply", MDB_IF_LINK_ERROR},
      {"version-negative-capacity", MDB_IF_LINK_ERROR},
      {"version-null-text", MDB_IF_LINK_ERROR},
      {"open-null-name", MDB_IF_OPEN_OR_CRC_ERROR},
      {"open-null-handle-out", MDB_IF_OPEN_OR_CRC_ERROR},
      {"exec-not-current", MDB_IF_BAD_HANDLE},
      {"version-not-current", MDB_IF_BAD_HANDLE},
      {"foreign-handle-alive", 0},
      {"scan-null", MDB_IF_OPEN_OR_CRC_ERROR},
      {"reset-still-current", MDB_IF_OK},
      {"close", MDB_IF_OK},
  };
  std::map<std::string, int> seen;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    const HostStep step(line);
    const std::string &name = step.field("case");
    if (name.empty()) {
      continue;
    }
    ++seen[name];
    ASSERT_EQ(expected.count(name), 1U) << line;
    EXPECT_EQ(step.result(), expected.at(name)) << line;
    EXPECT_EQ(step.number("clean"), 1) << line;
    if (name.find('-') != std::string::npos && name != "reset-still-current") {
      EXPECT_LE(step.number("ms"), kRefusalMs) << line;
    }
  }
  EXPECT_EQ(seen.size(), expected.size()) << run.output;
  EXPECT_EQ(seen["exec-not-current"], 3) << "null, invalid and foreign handles";
  // Only the final line reset reached the adapter.
  EXPECT_EQ(commands_received(adapter), (std::vector<Bytes>{{korvel::adapter::kLineResetCommand}}));
  EXPECT_EQ(adapter.bad_request_count(), 0U);
}

} // namespace
} // namespace wine_test
