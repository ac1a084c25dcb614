// Ports as their drivers report them, and as other programs use them.
#include "agent.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace vm_agent {
namespace {

// A UART's modem control and line control registers, from its I/O base.
constexpr int kLineControlRegister = 3;
constexpr int kModemControlRegister = 4;

// A write that finds no room for this long counts the line as stalled.
constexpr int kStallMs = 300;
constexpr std::size_t kQueueChunk = 1024;
constexpr int kPresencePollMs = 10;

struct SpeedName {
  speed_t code;
  long long baud;
};
constexpr SpeedName kSpeeds[] = {{B0, 0},         {B1200, 1200},   {B2400, 2400},
                                 {B4800, 4800},   {B9600, 9600},   {B19200, 19200},
                                 {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};

long long baud_of(speed_t code) {
  for (const SpeedName &speed : kSpeeds) {
    if (speed.code == code) {
      return speed.baud;
    }
  }
  return -1;
}

long long csize_bits(tcflag_t cflag) {
  switch (cflag & CSIZE) {
  case CS5:
    return 5;
  case CS6:
    return 6;
  case CS7:
    return 7;
  default:
    return 8;
  }
}

bool is_set(tcflag_t flags, tcflag_t flag) { return (flags & flag) != 0; }

int fd_of(MDB_IF_HANDLE handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

// The I/O base of a UART ("0x2F8" in sysfs), or -1 for other ports.
long uart_base(const std::string &port) {
  std::ifstream file("/sys/class/tty/" + port + "/port");
  std::string text;
  if (!(file >> text)) {
    return -1;
  }
  const long base = std::strtol(text.c_str(), nullptr, 16);
  return base > 0 ? base : -1;
}

// A UART register as the hardware holds it (reading these two changes
// nothing).
long long uart_register(long base, int offset) {
  const int fd = ::open("/dev/port", O_RDONLY | O_CLOEXEC);
  std::uint8_t value = 0;
  const bool read = fd >= 0 && pread(fd, &value, 1, base + offset) == 1;
  if (fd >= 0) {
    close(fd);
  }
  return read ? value : -1;
}

// The line's settings and modem lines, as the driver reports them.
void describe_line(int fd, const std::string &port, Reply &reply) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) {
    reply.add("termios_errno", errno);
    return;
  }
  reply.add("speed", baud_of(cfgetospeed(&line))).add("ispeed", baud_of(cfgetispeed(&line)));
  reply.add("csize", csize_bits(line.c_cflag)).add("parenb", is_set(line.c_cflag, PARENB));
  reply.add("cstopb", is_set(line.c_cflag, CSTOPB)).add("crtscts", is_set(line.c_cflag, CRTSCTS));
  reply.add("clocal", is_set(line.c_cflag, CLOCAL)).add("cread", is_set(line.c_cflag, CREAD));
  reply.add("ixon", is_set(line.c_iflag, IXON)).add("ixoff", is_set(line.c_iflag, IXOFF));
  reply.add("ixany", is_set(line.c_iflag, IXANY)).add("icrnl", is_set(line.c_iflag, ICRNL));
  reply.add("istrip", is_set(line.c_iflag, ISTRIP)).add("inpck", is_set(line.c_iflag, INPCK));
  reply.add("icanon", is_set(line.c_lflag, ICANON)).add("echo", is_set(line.c_lflag, ECHO));
  reply.add("isig", is_set(line.c_lflag, ISIG)).add("opost", is_set(line.c_oflag, OPOST));
  reply.add("vmin", line.c_cc[VMIN]).add("vtime", line.c_cc[VTIME]);
  // The whole record, for comparing before and after.
  reply.add("iflag", line.c_iflag).add("oflag", line.c_oflag);
  reply.add("cflag", line.c_cflag).add("lflag", line.c_lflag);
  reply.add_hex("cc", line.c_cc, NCCS);
  int modem = 0;
  if (ioctl(fd, TIOCMGET, &modem) == 0) {
    reply.add("modem", modem)
        .add("dtr", (modem & TIOCM_DTR) != 0)
        .add("rts", (modem & TIOCM_RTS) != 0);
  } else {
    reply.add("modem_errno", errno);
  }
  int exclusive = 0;
  reply.add("exclusive", ioctl(fd, TIOCGEXCL, &exclusive) == 0 ? exclusive : -1);
  if (const long base = uart_base(port); base > 0) {
    reply.add("uart_lcr", uart_register(base, kLineControlRegister));
    reply.add("uart_mcr", uart_register(base, kModemControlRegister));
  }
}

// What a program that talked to a modem might leave behind: 9600 baud, 7
// data bits, even parity, 2 stop bits, hardware and software flow control,
// canonical input with echo and signals, output processing.
void spoil_line(int fd) {
  termios line{};
  (void)tcgetattr(fd, &line);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CLOCAL);
  line.c_cflag |= CS7 | PARENB | CSTOPB | CRTSCTS | CREAD;
  line.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP | INPCK;
  line.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  line.c_oflag |= OPOST | ONLCR;
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 5;
  (void)cfsetispeed(&line, B9600);
  (void)cfsetospeed(&line, B9600);
  (void)tcsetattr(fd, TCSANOW, &line);
}

int open_plain(const std::string &port) {
  return ::open(device_path(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

bool port_present(const std::string &port) {
  return access(device_path(port).c_str(), F_OK) == 0 &&
         access(("/sys/class/tty/" + port).c_str(), F_OK) == 0;
}

// Opens the port without the library and spoils it, reporting the settings it
// left, or the open's errno; the descriptor, or -1.
int open_spoiled(const std::string &port, Reply &reply) {
  const int fd = open_plain(port);
  if (fd < 0) {
    reply.fail("open-errno-" + std::to_string(errno));
    return -1;
  }
  spoil_line(fd);
  describe_line(fd, port, reply);
  return fd;
}

} // namespace

int open_errno_as(const std::string &port, int uid) {
  const pid_t child = fork();
  if (child == 0) {
    if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) {
      _exit(EPERM);
    }
    const int fd = open_plain(port);
    _exit(fd >= 0 ? 0 : errno);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

// settings interface|held
bool settings_command(AgentState &state, const Args &args, Reply &reply) {
  if (args.size() != 1 || (args[0] != "interface" && args[0] != "held")) {
    return false;
  }
  if (args[0] == "interface") {
    describe_line(fd_of(state.handle), state.port, reply);
  } else {
    describe_line(state.held_fd, state.held_port, reply);
  }
  return true;
}

// spoil PORT: opens the port without the library, leaves it spoiled and
// closes it again; reports the settings it left.
bool spoil_command(AgentState &, const Args &args, Reply &reply) {
  if (args.size() != 1) {
    return false;
  }
  const int fd = open_spoiled(args[0], reply);
  if (fd >= 0) {
    close(fd);
  }
  return true;
}

// hold PORT: keeps the port open (until clean) and spoiled, as a program that
// shares the port might. Its modem lines stay as the open left them: every
// open of a terminal raises DTR and RTS (unless the speed is 0), so no later
// opener could leave a dropped line as it found it.
bool hold_command(AgentState &state, const Args &args, Reply &reply) {
  if (args.size() != 1 || state.held_fd >= 0) {
    return false;
  }
  const int fd = open_spoiled(args[0], reply);
  if (fd >= 0) {
    state.held_fd = fd;
    state.held_port = args[0];
  }
  return true;
}

// plain-open PORT UID: errno of a plain open by another process (0: opened).
bool plain_open_command(AgentState &, const Args &args, Reply &reply) {
  if (args.size() != 2) {
    return false;
  }
  reply.add("errno", open_errno_as(args[0], std::atoi(args[1].c_str())));
  return true;
}

// queue BYTES: writes up to BYTES on the interface until the line stops
// taking them; reports how many went and how many the driver still holds.
bool queue_command(AgentState &state, const Args &args, Reply &reply) {
  if (args.size() != 1) {
    return false;
  }
  const long long most = std::atoll(args[0].c_str());
  const int fd = fd_of(state.handle);
  const Bytes chunk(kQueueChunk, 0x55);
  long long written = 0;
  bool stalled = false;
  const double started = now_ms();
  while (written < most && !stalled) {
    const ssize_t got = write(fd, chunk.data(), chunk.size());
    if (got > 0) {
      written += got;
    } else if (got < 0 && errno == EAGAIN) {
      pollfd room{fd, POLLOUT, 0};
      stalled = poll(&room, 1, kStallMs) == 0;
    } else {
      reply.add("write_errno", got < 0 ? errno : 0);
      break;
    }
  }
  int queued = -1;
  (void)ioctl(fd, TIOCOUTQ, &queued);
  reply.add("written", written).add("stalled", stalled).add("outq", queued);
  reply.add_ms("ms", now_ms() - started);
  return true;
}

// wait PORT present|absent TIMEOUT_MS: how long until the port's device
// node and sysfs entry came or went. A port that came is opened up to every
// user, so that only an exclusive open can refuse an ordinary one.
bool wait_command(AgentState &, const Args &args, Reply &reply) {
  if (args.size() != 3 || (args[1] != "present" && args[1] != "absent")) {
    return false;
  }
  const bool want = args[1] == "present";
  const double timeout = std::atof(args[2].c_str());
  const double started = now_ms();
  bool reached = port_present(args[0]) == want;
  while (!reached && now_ms() - started < timeout) {
    usleep(kPresencePollMs * 1000);
    reached = port_present(args[0]) == want;
  }
  if (reached && want) {
    (void)chmod(device_path(args[0]).c_str(), 0666);
  }
  reply.add("reached", reached).add_ms("ms", now_ms() - started);
  return true;
}

} // namespace vm_agent
