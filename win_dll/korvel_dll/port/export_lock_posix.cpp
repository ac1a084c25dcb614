// POSIX: a statically initialised mutex, which never allocates.
#include "export_lock.h"

#include <pthread.h>

namespace korvel::port {
namespace {
pthread_mutex_t g_exports = PTHREAD_MUTEX_INITIALIZER;
}

void lock_exports() { (void)pthread_mutex_lock(&g_exports); }

void unlock_exports() { (void)pthread_mutex_unlock(&g_exports); }

} // namespace korvel::port
