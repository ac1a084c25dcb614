#include "wine_session.h"

#include "wine_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>

namespace {

constexpr std::chrono::seconds kWinebootTimeout{180};
constexpr std::chrono::seconds kServerCommandTimeout{30};
// Should the run die without stopping the server, it goes by itself this
// long after the last Wine program has exited.
constexpr const char *kPersistentServerOption = "-p60";
// Holds the prefix and Wine's temporary files.
constexpr const char *kSessionDirTemplate = "/tmp/korvel-wine-XXXXXX";
constexpr std::chrono::seconds kReapTimeout{10};
constexpr std::chrono::milliseconds kReapPollInterval{20};

std::unique_ptr<WineSession> g_session;

std::string lower_case(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string describe(const char *what, const ProcessResult &result) {
  return std::string(what) + (result.timed_out ? " timed out" : " failed") + ", exit code " +
         std::to_string(result.exit_code) + ": " + result.errors;
}

// Wine's server and services detach from the programs that start them. With
// this process as their subreaper they end up as its children rather than as
// orphans, so that they can be waited for when the session ends, even where
// nothing else would reap them.
void adopt_detached_descendants() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

void reap_children() {
  const auto deadline = std::chrono::steady_clock::now() + kReapTimeout;
  for (;;) {
    const pid_t pid = waitpid(-1, nullptr, WNOHANG);
    if (pid < 0 || std::chrono::steady_clock::now() >= deadline) {
      return; // no children left, or some that will not end
    }
    if (pid == 0) {
      std::this_thread::sleep_for(kReapPollInterval);
    }
  }
}

// Ends the session once every test has run.
class WineSessionEnvironment : public testing::Environment {
public:
  void TearDown() override { WineSession::end(); }
};

const testing::Environment *const g_environment =
    testing::AddGlobalTestEnvironment(new WineSessionEnvironment);

} // namespace

PortLink::~PortLink() {
  if (!link_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(link_, ignored);
  }
}

WineSession &WineSession::get() {
  if (!g_session) {
    g_session.reset(new WineSession);
    g_session->start();
  }
  return *g_session;
}

void WineSession::end() {
  if (g_session) {
    g_session->stop();
    g_session.reset();
  }
}

void WineSession::start() {
  for (const char *needed : {kWindowsDll, kWineHostExe}) {
    if (!std::filesystem::exists(needed)) {
      failure_ = std::string(needed) + " is missing: build the windows preset first";
      return;
    }
  }
  std::string root = kSessionDirTemplate;
  if (mkdtemp(root.data()) == nullptr) {
    failure_ = "cannot create a directory for the Wine prefix";
    return;
  }
  root_ = root;
  prefix_ = root_ / "prefix";
  // Wine's server keeps its socket in a directory below TMPDIR, which would
  // otherwise outlive the session.
  const std::filesystem::path server_tmp = root_ / "tmp";
  std::error_code error;
  for (const std::filesystem::path &dir : {prefix_, server_tmp}) {
    if (!std::filesystem::create_directory(dir, error)) {
      failure_ = "cannot create " + dir.string();
      return;
    }
  }
  setenv("WINEPREFIX", prefix_.c_str(), 1);
  setenv("TMPDIR", server_tmp.c_str(), 1);
  setenv("WINEDEBUG", "-all", 1);
  // No Mono or Gecko installers, and no windows on a desktop.
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");

  adopt_detached_descendants();
  const ProcessResult server =
      run_process({kWineServer, kPersistentServerOption}, kServerCommandTimeout);
  if (server.exit_code != 0) {
    failure_ = describe("wineserver", server);
    return;
  }
  const ProcessResult boot = run_process({kWine64, "wineboot", "-i"}, kWinebootTimeout);
  if (boot.exit_code != 0) {
    failure_ = describe("wineboot", boot);
  }
}

void WineSession::stop() {
  if (root_.empty()) {
    return;
  }
  run_process({kWineServer, "-k"}, kServerCommandTimeout);
  run_process({kWineServer, "-w"}, kServerCommandTimeout);
  reap_children();
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

PortLink WineSession::link_port(const std::string &port, const std::string &device) const {
  const std::filesystem::path link = prefix_ / "dosdevices" / lower_case(port);
  std::error_code ignored;
  std::filesystem::remove(link, ignored);
  std::filesystem::create_symlink(device, link);
  return PortLink(link);
}

ProcessResult WineSession::run_windows_program(const std::vector<std::string> &args,
                                               std::chrono::milliseconds timeout) const {
  std::vector<std::string> argv{kWine64};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, timeout);
}
