// What the Wine tests share: the fixture that needs the Wine session, and
// ways to script the simulated adapters.
#pragma once

#include "host_run.h"
#include "sim_adapter.h"
#include "wine_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wine_test {

// The library's result codes as wine_host prints them; 2 has a name for each
// meaning a call gives it.
constexpr int kOk = 0;
constexpr int kBadHandle = 1;
constexpr int kOpenFailed = 2;
constexpr int kCrcError = 2;
constexpr int kListUnreadable = 2;
constexpr int kTimeout = 4;
constexpr int kLinkError = 5;
constexpr int kAdapterError = 6;
constexpr int kAdapterStatusFe = 7;

using korvel::sim::Answer;
using korvel::sim::Bytes;
using korvel::sim::PtyAdapter;

using korvel::sim::identification;
using korvel::sim::reply;
using korvel::sim::silent;
// The same reply, its CRC spoilt.
Answer with_bad_crc(Answer answer);
Bytes text_bytes(const std::string &text);

// Answers the requests with these answers in turn, then stays silent.
korvel::sim::Behaviour scripted(std::vector<Answer> answers);
korvel::sim::Behaviour always(Answer answer);

// The commands the adapter has received, in order.
std::vector<Bytes> commands_received(const PtyAdapter &adapter);

class WineTest : public testing::Test {
protected:
  void SetUp() override;
  // Makes the adapter's pseudo-terminal the Windows port `port` ("COM5").
  void attach(const std::string &port, const PtyAdapter &adapter);

private:
  std::vector<PortLink> links_;
};

} // namespace wine_test
