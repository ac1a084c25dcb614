// The host's end of one of the guest's serial ports: the pseudo-terminal
// QEMU connects the port to, held open here for as long as the machine runs
// (so that QEMU keeps the FTDI attached while simulators come and go), with
// korvel-sim serving on it when a test wants an adapter there.
#pragma once

#include "child_process.h"
#include "guest_agent.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace vm_host {

class AdapterLine {
public:
  // pty: this side's device; output_log: the file QEMU logs the guest's
  // output on the port to; work_dir and name: where korvel-sim's output goes.
  AdapterLine(std::string pty, std::string output_log, std::string work_dir, std::string name);
  ~AdapterLine();
  AdapterLine(const AdapterLine &) = delete;
  AdapterLine &operator=(const AdapterLine &) = delete;

  bool held() const { return held_fd_ >= 0; }

  // korvel-sim --device on this line with these options, replacing one that
  // runs; false when it did not come up.
  bool serve(const std::vector<std::string> &options);
  // No adapter: korvel-sim stopped at once, mid-answer or not, and what the
  // guest sends stays unread here.
  void silence();
  // Discards what the guest sent that nobody read.
  void discard_unread();

  // korvel-sim's output since it started.
  std::string simulator_log() const;
  // The request frames korvel-sim decoded, as it printed them on the wire,
  // and the commands it found in them.
  std::vector<Bytes> simulator_requests() const;
  std::vector<Bytes> simulator_commands() const;

  // Bytes the guest has sent on this port so far, and those since a mark.
  std::size_t guest_output_mark() const;
  Bytes guest_output_since(std::size_t mark) const;
  // Waits until at least count bytes came after the mark.
  bool wait_for_guest_output(std::size_t mark, std::size_t count,
                             std::chrono::milliseconds timeout) const;

private:
  std::string pty_;
  std::string output_log_;
  std::string work_dir_;
  std::string name_;
  int held_fd_ = -1;
  int runs_ = 0;
  std::string simulator_log_path_;
  std::unique_ptr<ChildProcess> simulator_;
};

} // namespace vm_host
