// A child process with mounts of its own (a private mount namespace), so
// that a test can lay a fake tree over part of /sys or take /proc away
// without touching the machine's. Needs root (CAP_SYS_ADMIN).
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

namespace private_mounts {

// The exit status of a child that could not get mounts of its own.
constexpr int kUnavailable = 77;

// Runs body in a forked child with private mounts and returns its exit
// status (body's result), kUnavailable, or -1 if it did not exit normally.
// The child must be forked from a process without other threads, or make
// only async-signal-safe calls.
int run(const std::function<int()> &body);

// Inside run: an empty tty class whose console/active names console_name,
// a terminal whose dev entry holds number.
bool fake_console(const std::string &console_name, dev_t number);

// Inside run: no /proc any more.
bool without_proc();

} // namespace private_mounts
