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
