// POSIX: the signals are blocked in every thread and taken by one thread of
// their own, so that none interrupts a library call.
#include "interrupt.h"

#include "results.h"

#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace korvel::cli {

void start_interrupt_handling() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&signals, signal);
  }
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals] {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) {
      return;
    }
    ask_to_stop(kExitSignalBase + signal);
    // This thread now takes the next signal in its default way, which ends
    // the program at once.
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    for (;;) {
      pause();
    }
  }).detach();
}

} // namespace korvel::cli
