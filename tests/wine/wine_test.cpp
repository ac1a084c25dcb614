#include "wine_test.h"

#include <atomic>
#include <cstring>
#include <memory>

namespace wine_test {

Answer with_bad_crc(Answer answer) {
  answer.corrupt_crc = true;
  return answer;
}

Bytes text_bytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

korvel::sim::Behaviour scripted(std::vector<Answer> answers) {
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  return [answers = std::move(answers), next](const Bytes &) {
    const std::size_t index = (*next)++;
    return index < answers.size() ? answers[index] : silent();
  };
}

korvel::sim::Behaviour always(Answer answer) {
  return [answer](const Bytes &) { return answer; };
}

std::vector<Bytes> commands_received(const PtyAdapter &adapter) {
  std::vector<Bytes> commands;
  for (const korvel::sim::Exchange &exchange : adapter.exchanges()) {
    commands.push_back(exchange.command);
  }
  return commands;
}

void WineTest::SetUp() { ASSERT_TRUE(WineSession::get().ready()) << WineSession::get().failure(); }

void WineTest::attach(const std::string &port, const PtyAdapter &adapter) {
  links_.push_back(WineSession::get().link_port(port, adapter.device_path()));
}

} // namespace wine_test
