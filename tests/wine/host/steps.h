// The steps the host can run. Each takes its arguments from the command line,
// makes its calls and prints one line; it returns false when its arguments
// are missing or malformed.
#pragma once

#include "host_args.h"
#include "host_state.h"

// open NAME ("-" for a null name): result, GetLastError() right after the
// call, which handle ("#n") it handed out and what kind of value that is.
bool open_step(HostState &state, HostArgs &args);
// close HANDLE
bool close_step(HostState &state, HostArgs &args);
// exec HANDLE COMMAND_HEX CAPACITY: result, delivered length and reply bytes.
bool exec_step(HostState &state, HostArgs &args);
// exec-threads HANDLE COUNT: two threads at once, each sending COUNT
// commands of its own; result 0 when every call returned 0 with its own
// command echoed back, and how many did not.
bool exec_threads_step(HostState &state, HostArgs &args);
// reset HANDLE
bool reset_step(HostState &state, HostArgs &args);
// version HANDLE CAPACITY: result and the text.
bool version_step(HostState &state, HostArgs &args);
// scan: result, the name found, and whether the buffer was left untouched.
bool scan_step(HostState &state, HostArgs &args);

// The serial-port list the library reads: empty it (keeping the key), drop
// the key, or add a value of a given type.
bool registry_clear_step(HostState &state, HostArgs &args);
bool registry_drop_step(HostState &state, HostArgs &args);
bool registry_string_step(HostState &state, HostArgs &args);
bool registry_dword_step(HostState &state, HostArgs &args);
bool registry_binary_step(HostState &state, HostArgs &args);

// A port as other programs see it, opened and closed again without the
// library. dirty PORT leaves it as a program that used flow control might;
// both print the speed and flags that a fresh open then reads.
bool port_dirty_step(HostState &state, HostArgs &args);
bool port_settings_step(HostState &state, HostArgs &args);
// wait METHOD MS COUNT (METHOD timer or sleep): the library's wait, COUNT
// times; the shortest and longest on the performance counter, and the
// processor time the process spent meanwhile, in microseconds.
bool wait_step(HostState &state, HostArgs &args);

// pipe-listen NAME: a server on \\.\pipe\NAME, waiting for one client.
// pipe-clients: whether a client has connected since ("connected=1").
// pipe-connect NAME: the host itself connects, as a client, and leaves.
bool pipe_listen_step(HostState &state, HostArgs &args);
bool pipe_clients_step(HostState &state, HostArgs &args);
bool pipe_connect_step(HostState &state, HostArgs &args);
// signal PATH creates the file; await PATH waits up to 30 s for it to exist
// (result 0, or ERROR_TIMEOUT). They pace the test on the far end of a line.
bool signal_step(HostState &state, HostArgs &args);
bool await_step(HostState &state, HostArgs &args);
