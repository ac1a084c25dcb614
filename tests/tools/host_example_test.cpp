// The shipped C example, in scan mode, over the library with a port list of
// the test's own: an adapter found by its identification has no version to
// read, and the example says so and carries on.
#include "port_list_fixed.h"
#include "sim_adapter.h"

#include <gtest/gtest.h>

#include <cstdio>

extern "C" int host_example_main(int argc, char **argv);

namespace {

using korvel::sim::Bytes;

TEST(HostExample, InScanModeExplainsTheVersionItCannotReadAndCarriesOn) {
  korvel::sim::PtyAdapter adapter([](const Bytes &command) {
    return command == Bytes{korvel::adapter::kReadVersionCommand}
               ? korvel::sim::identification()
               : korvel::sim::default_answer(command);
  });
  korvel::port::fixed_list::set_ports({adapter.port_name()});
  char program[] = "host_example";
  char *argv[] = {program, nullptr};
  testing::internal::CaptureStdout();
  const int status = host_example_main(1, argv);
  std::fflush(stdout);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("adapter port: " + adapter.port_name() + "\n"), std::string::npos);
  EXPECT_NE(output.find("MDB_IF_GetVersion      result 5\n"
                        "no version: the adapter answered the scan's identification, whose reply "
                        "has no status byte, so MDB_IF_GetVersion gives 5 (korvel-sim --identify "
                        "answers so)\n"
                        "MDB_IF_ExecCommand     result 0\n"
                        "reply: 00\n"),
            std::string::npos)
      << output;
}

} // namespace
