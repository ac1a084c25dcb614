// One throwaway Wine prefix for the whole test run: created and booted on
// first use, served by one persistent wineserver, and removed (server and
// all) when the run ends.
#pragma once

#include "process_runner.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

// A name in the prefix's dosdevices ("COM5") that leads to a Unix device, for
// as long as the link lives.
class PortLink {
public:
  explicit PortLink(std::filesystem::path link) : link_(std::move(link)) {}
  ~PortLink();
  PortLink(PortLink &&other) noexcept : link_(std::move(other.link_)) { other.link_.clear(); }
  PortLink(const PortLink &) = delete;
  PortLink &operator=(const PortLink &) = delete;
  PortLink &operator=(PortLink &&) = delete;

private:
  std::filesystem::path link_;
};

class WineSession {
public:
  // The session, started on the first call.
  static WineSession &get();
  // Ends the session if it was started: stops the server and every Wine
  // process, and removes the prefix with Wine's temporary files.
  static void end();

  bool ready() const { return failure_.empty(); }
  // Why the session could not start.
  const std::string &failure() const { return failure_; }

  PortLink link_port(const std::string &port, const std::string &device) const;
  // Runs a Windows program (a Unix path) under wine64 in this prefix.
  ProcessResult run_windows_program(const std::vector<std::string> &args,
                                    std::chrono::milliseconds timeout) const;

private:
  WineSession() = default;
  void start();
  void stop();

  std::filesystem::path root_;
  std::filesystem::path prefix_;
  std::string failure_;
};
