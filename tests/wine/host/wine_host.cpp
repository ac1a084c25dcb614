// wine_host: loads korvel_dll.dll from its own directory, checks that each
// export's name and ordinal lead to the same function, and runs the steps
// given as arguments, one output line each, e.g.
//
//   wine_host open COM5 version #1 64 exec #1 02037D 16 close #1
//
// Exit status: 0 when every step ran (whatever the library returned),
// kExitBadStep for an unknown or malformed step, kExitLoadFailed when the
// library or one of its exports could not be resolved.
#include "step_line.h"
#include "steps.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char *kLibraryName = "korvel_dll.dll";
constexpr int kExitBadStep = 64;
constexpr int kExitLoadFailed = 65;

using StepRunner = bool (*)(HostState &, HostArgs &);

struct StepKind {
  const char *name;
  StepRunner run;
};

constexpr StepKind kSteps[] = {
    {"open", open_step},
    {"close", close_step},
    {"exec", exec_step},
    {"exec-threads", exec_threads_step},
    {"reset", reset_step},
    {"version", version_step},
    {"scan", scan_step},
    {"reg-clear", registry_clear_step},
    {"reg-drop", registry_drop_step},
    {"reg-sz", registry_string_step},
    {"reg-dword", registry_dword_step},
    {"reg-bin", registry_binary_step},
    {"dirty", port_dirty_step},
    {"dcb", port_settings_step},
    {"wait", wait_step},
    {"pipe-listen", pipe_listen_step},
    {"pipe-clients", pipe_clients_step},
    {"pipe-connect", pipe_connect_step},
    {"signal", signal_step},
    {"await", await_step},
};

StepRunner find_step(const char *name) {
  for (const StepKind &kind : kSteps) {
    if (std::strcmp(kind.name, name) == 0) {
      return kind.run;
    }
  }
  return nullptr;
}

} // namespace

int main(int argc, char **argv) {
  HostState state;
  const std::string error = load_exports(kLibraryName, state.library);
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    StepLine("load").add("result", "failed").print();
    return kExitLoadFailed;
  }
  StepLine("load").add("result", 0).print();
  state.foreign = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  HostArgs args(argv + 1, argv + argc);
  while (!args.done()) {
    const char *name = args.take();
    const StepRunner run = find_step(name);
    if (run == nullptr || !run(state, args)) {
      std::fprintf(stderr, "unknown or malformed step: %s\n", name);
      return kExitBadStep;
    }
  }
  return 0;
}
