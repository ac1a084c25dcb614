// korvel scan's account of a scan, run in this process over the library
// with a port list of the test's own, against simulated adapters on
// pseudo-terminals: how many ports and which first, each probe's outcome as
// the scan goes on (-v), and a last line that agrees with the result.
#include "port_list_fixed.h"
#include "results.h"
#include "scan_command.h"
#include "sim_adapter.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace korvel::cli {
namespace {

using korvel::sim::Bytes;
using korvel::sim::PtyAdapter;

constexpr const char *kMissing = "pts/99999";

korvel::sim::Behaviour mute_adapter() {
  return [](const Bytes &) { return korvel::sim::silent(); };
}
korvel::sim::Behaviour identifying() {
  return [](const Bytes &) { return korvel::sim::identification(); };
}

PortFacts listed(const std::string &name) {
  PortFacts facts;
  facts.name = name;
  facts.scanned = true;
  return facts;
}

struct Scan {
  int status;
  std::string output;
};

// The listing korvel shows, and the same names for the library's scan.
Scan scan(const std::vector<PortFacts> &ports, bool verbose) {
  PortListing listing;
  listing.read = true;
  listing.ports = ports;
  std::vector<std::string> names;
  for (const PortFacts &facts : ports) {
    if (facts.scanned) {
      names.push_back(facts.name);
    }
  }
  korvel::port::fixed_list::set_ports(names);
  Invocation invocation;
  invocation.command = Command::Scan;
  invocation.verbose = verbose;
  testing::internal::CaptureStdout();
  const int status = run_scan(invocation, listing);
  std::fflush(stdout);
  return {status, testing::internal::GetCapturedStdout()};
}

// The lines must come in this order.
void expect_in_order(const std::string &output, const std::vector<std::string> &parts) {
  std::size_t at = 0;
  for (const std::string &part : parts) {
    const std::size_t found = output.find(part, at);
    ASSERT_NE(found, std::string::npos) << "'" << part << "' after " << at << " in\n" << output;
    at = found + part.size();
  }
}

TEST(KorvelScan, SaysWhatItProbesAndTellsEachProbeUpToTheAdapter) {
  PtyAdapter mute(mute_adapter());
  PtyAdapter adapter(identifying());
  PtyAdapter after(identifying());
  const std::string ports =
      mute.port_name() + ", " + kMissing + ", " + adapter.port_name() + ", " + after.port_name();
  const Scan run = scan({listed(mute.port_name()), listed(kMissing), listed(adapter.port_name()),
                         listed(after.port_name())},
                        true);
  EXPECT_EQ(run.status, kExitSuccess);
  expect_in_order(
      run.output,
      {"probing 4 ports, about 0.5 s each if silent, in this order: " + ports + "\n",
       "  " + mute.port_name() + ": did not identify itself (open 0.5",
       "  " + std::string(kMissing) +
           ": did not identify itself (never seen open: refused at the open, or over at once)\n",
       "  " + adapter.port_name() + ": identified itself as the adapter",
       "  " + after.port_name() + ": not probed: the scan stops at the first adapter\n",
       "MDB_IF_ScanInterface -> 0 (the scan ran: an adapter identified itself) in ",
       "adapter on " + adapter.port_name() + "\n"});
  EXPECT_EQ(after.request_count(), 0U);
}

TEST(KorvelScan, NoAnswerAndNothingProbedAreToldApartFromSuccess) {
  PtyAdapter mute(mute_adapter());
  const Scan unanswered = scan({listed(mute.port_name())}, false);
  EXPECT_EQ(unanswered.status, kExitNothingFound);
  EXPECT_EQ(unanswered.output,
            "probing 1 port, about 0.5 s each if silent, in this order: " + mute.port_name() +
                "\n"
                "MDB_IF_ScanInterface -> 0 (the scan ran: no port identified itself)\n"
                "no adapter answered: none of the 1 port probed identified itself\n");

  PortFacts terminal;
  terminal.name = "pts/7";
  terminal.left_out = "a pseudo-terminal";
  const Scan nothing = scan({terminal}, false);
  EXPECT_EQ(nothing.status, kExitNothingFound);
  EXPECT_EQ(nothing.output,
            "no port to probe (1 left out: korvel -v ports says why)\n"
            "MDB_IF_ScanInterface -> 0 (the scan ran, but no port was listed: nothing was "
            "probed)\n"
            "nothing was probed: on Linux a scan lists only serial devices with hardware behind "
            "them, never pseudo-terminals such as korvel-sim's (here pts/7); give such a port to "
            "version, reset or exec instead: korvel version pts/7\n");
  EXPECT_EQ(mute.request_count(), 1U) << "probed once, by the first scan";
}

} // namespace
} // namespace korvel::cli
