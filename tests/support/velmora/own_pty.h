// A pseudo-terminal of the test's own: the serial control opens the slave
// side, and the test reads back through the master the line settings the
// control gave it.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QString>

struct OwnPty {
  int master = -1;
  QString slave;
  OwnPty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
      slave = QString::fromLocal8Bit(::ptsname(master));
  }
  ~OwnPty() {
    if (master >= 0) ::close(master);
  }
  OwnPty(const OwnPty&) = delete;
  OwnPty& operator=(const OwnPty&) = delete;
  /// Another descriptor on the slave side.
  int openSlave() const {
    return ::open(slave.toLocal8Bit().constData(),
                  O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
};
