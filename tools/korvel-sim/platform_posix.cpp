#include "platform.h"

#include <csignal>

namespace korvel::simtool {
namespace {

volatile std::sig_atomic_t g_stop_requested = 0;

void request_stop(int) { g_stop_requested = 1; }

} // namespace

void stop_on_request() {
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM}) {
    sigaction(signal, &action, nullptr);
  }
}

bool stop_requested() { return g_stop_requested != 0; }

void stopped() {}

std::tm local_time(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  return local;
}

std::string unavailable_here(std::string_view) { return ""; }

std::string device_needed_because() { return ""; }

} // namespace korvel::simtool
