// Ctrl-C, SIGTERM and SIGHUP while korvel drives the library. The library
// call in progress, which nothing may cut short, finishes (a scan puts back
// the settings of the port it was probing); then the interface korvel holds
// is closed, which clears the port's exclusive flag for the next program,
// and korvel ends with 128 plus the signal's number (130, 143, 129). A
// second Ctrl-C ends korvel at once.
#pragma once

#include "korvel_dll.h"

namespace korvel::cli {

// From here on the signals are handled so; called before the first library
// call and before any other thread starts.
void start_interrupt_handling();

// The interface to close should korvel be stopped, and the end of that.
void hold_interface(MDB_IF_HANDLE handle);
void release_interface();

// Called between library calls: once a stop was asked for, closes the
// interface held and ends the program.
void stop_if_asked();

// stop_if_asked(), then status.
int finish(int status);

// Called by the platform's handler, on a thread of its own: asks for the
// stop, which the program makes at its next stop_if_asked(). Returns false
// when a stop was already asked for.
bool ask_to_stop(int exit_status);

} // namespace korvel::cli
