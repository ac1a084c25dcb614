// A pseudo-terminal whose master nobody reads, in packet mode: the master
// then learns of every discard of the slave's output (a flush-write packet),
// which is how a test sees that a close threw away what the line had not
// taken.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

class PacketModePty {
public:
  PacketModePty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      return;
    }
    slave_ = ptsname(master_);
    // Keeps the master readable once the tested program has closed its end.
    keep_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    int packet_mode = 1;
    if (keep_ < 0 || ioctl(master_, TIOCPKT, &packet_mode) != 0) {
      slave_.clear();
    }
  }
  ~PacketModePty() {
    for (const int fd : {keep_, master_}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }
  PacketModePty(const PacketModePty &) = delete;
  PacketModePty &operator=(const PacketModePty &) = delete;

  // "/dev/pts/N", or "" when the terminal could not be set up.
  const std::string &slave_path() const { return slave_; }

  // Reads every packet waiting; true if one reported discarded output.
  bool output_was_discarded() const {
    bool discarded = false;
    std::uint8_t packet[64];
    for (ssize_t got = 0; (got = read(master_, packet, sizeof(packet))) > 0;) {
      discarded |= packet[0] != TIOCPKT_DATA && (packet[0] & TIOCPKT_FLUSHWRITE) != 0;
    }
    return discarded;
  }

private:
  int master_ = -1;
  int keep_ = -1;
  std::string slave_;
};
