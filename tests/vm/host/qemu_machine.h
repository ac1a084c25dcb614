// The test machine: QEMU in software emulation, booting the kernel and
// initramfs that build_image.sh made.
//
// What the guest sees:
//   ttyS0    a 16550A, the guest's console: the agent's commands and answers
//   ttyS1    a 16550A whose far end is a pseudo-terminal here
//   ttyS2/3  the 8250 driver's placeholders without a UART behind them
//   ttyUSB0  an FTDI FT232B on an xHCI controller, through the ftdi_sio
//            driver; its far end is another pseudo-terminal here. QEMU
//            attaches it only while that pseudo-terminal is open here.
// QEMU logs every byte the guest sends on ttyS1 and ttyUSB0 to a file, and
// what the guest's drivers program into the UART and the FTDI to a trace.
#pragma once

#include "child_process.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace vm_host {

struct MachineImage {
  std::string qemu;
  std::string kernel;
  std::string initramfs;
  // Where QEMU's logs go; emptied at the start.
  std::string run_dir;
};

// The far ends of the guest's two serial ports, as QEMU names them.
enum class GuestLine { Uart, Usb };

class QemuMachine {
public:
  // Starts QEMU; started() says whether it is running with its monitor
  // connected, and failure() why not.
  explicit QemuMachine(const MachineImage &image);
  ~QemuMachine();
  QemuMachine(const QemuMachine &) = delete;
  QemuMachine &operator=(const QemuMachine &) = delete;

  bool started() const { return failure_.empty(); }
  const std::string &failure() const { return failure_; }

  // The console.
  void send_line(const std::string &line);
  // The next line the guest writes on its console, without the line end;
  // nothing if none came by the deadline or QEMU has ended.
  std::optional<std::string> next_line(std::chrono::steady_clock::time_point deadline);
  // The last lines seen on the console, for a failing test to show.
  std::string console_tail() const;

  // This side of a guest port's pseudo-terminal, and the file QEMU logs the
  // guest's output on it to.
  std::string pty_path(GuestLine line) const;
  std::string output_log(GuestLine line) const;
  std::string device_trace() const;

  // The FTDI pulled out of and put back into its USB port, through QEMU's
  // monitor. Each returns false, with the reason in failure(), when QEMU
  // refused.
  bool unplug_usb();
  bool plug_usb();
  bool usb_plugged() const { return usb_plugged_; }

  // Ends QEMU once the guest has powered off, or kills it after the timeout.
  bool wait_for_power_off(std::chrono::milliseconds timeout);

private:
  bool connect_monitor();
  // Sends one monitor command (JSON) and returns the reply line; empty when
  // none came.
  std::string monitor(const std::string &command);
  std::string monitor_line(std::chrono::steady_clock::time_point deadline);
  // Waits for the monitor's event about the device.
  bool wait_for_event(const std::string &event, const std::string &device,
                      std::chrono::milliseconds timeout);
  std::string ftdi_id() const;
  std::string query_pty(const std::string &chardev);

  MachineImage image_;
  std::string socket_dir_;
  std::string failure_;
  int to_console_ = -1;
  int from_console_ = -1;
  int monitor_fd_ = -1;
  std::string console_buffer_;
  std::string monitor_buffer_;
  // Events that arrived while a command waited for its reply.
  std::string pending_events_;
  std::string console_tail_;
  std::string uart_pty_;
  std::string usb_pty_;
  bool usb_plugged_ = true;
  int pluggings_ = 0;
  std::unique_ptr<ChildProcess> qemu_;
};

} // namespace vm_host
