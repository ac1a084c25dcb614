// POSIX: a statically initialised mutex, which never allocates.
//
// A thread cancelled inside an export would leave the mutex locked for ever
// (the library is built without exceptions, so no unwinding releases it), so
// cancellation is held off while an export runs: a cancel that arrives
// meanwhile takes effect at the thread's next cancellation point after the
// call has returned.
#include "export_lock.h"

#include <pthread.h>

namespace korvel::port {
namespace {
pthread_mutex_t g_exports = PTHREAD_MUTEX_INITIALIZER;
// The holder's cancellation state from before its call; written and read
// only while the mutex is held, and exports never nest.
int g_holder_cancel_state = PTHREAD_CANCEL_ENABLE;
} // namespace

void lock_exports() {
  int previous = PTHREAD_CANCEL_ENABLE;
  (void)pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
  (void)pthread_mutex_lock(&g_exports);
  g_holder_cancel_state = previous;
}

void unlock_exports() {
  const int previous = g_holder_cancel_state;
  (void)pthread_mutex_unlock(&g_exports);
  (void)pthread_setcancelstate(previous, nullptr);
}

} // namespace korvel::port
