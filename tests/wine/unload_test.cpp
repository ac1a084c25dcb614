// Loading and unloading the Windows DLL many times in one process under
// Wine: unload_host.exe counts the process's handles before and after.
#include "korvel_dll.h"
#include "wine_paths.h"
#include "wine_test.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace wine_test {
namespace {

constexpr const char *kUnloadHostExe = KORVEL_UNLOAD_HOST_EXE;
constexpr int kCycles = 30;
// The system may keep one handle of its own from the first load.
constexpr long kHandleSlack = 1;

using WineUnload = WineTest;

// Each cycle opens, asks for the version (which waits on the library's
// timer) and unloads; every second one leaves the interface open.
TEST_F(WineUnload, ThirtyLoadsAndUnloadsLeaveNoHandleBehind) {
  const std::filesystem::path host(kUnloadHostExe);
  std::filesystem::copy_file(kWindowsDll, host.parent_path() / "korvel_dll.dll",
                             std::filesystem::copy_options::overwrite_existing);
  PtyAdapter adapter;
  attach("COM5", adapter);
  const ProcessResult run = WineSession::get().run_windows_program(
      {host.string(), "COM5", std::to_string(kCycles)}, std::chrono::seconds(120));
  ASSERT_EQ(run.exit_code, 0) << run.output << run.errors;
  const HostStep cycles(run.output);
  ASSERT_EQ(cycles.op(), "cycles") << run.output;
  EXPECT_EQ(cycles.number("failed_calls"), 0) << run.output;
  const long before = cycles.number("handles_before");
  const long after = cycles.number("handles_after");
  RecordProperty("handles", std::to_string(before) + "->" + std::to_string(after));
  EXPECT_GT(before, 0) << "no handles counted at all";
  EXPECT_LE(std::labs(after - before), kHandleSlack) << run.output;
  EXPECT_EQ(adapter.request_count(), static_cast<std::size_t>(kCycles));
}

} // namespace
} // namespace wine_test
