// A name server on 127.0.0.1 that takes queries and never answers them.
// Only under tests/library/dead_name_server.sh, which gives the test a
// network of its own where /etc/resolv.conf names this address.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillon_test {

class SilentNameServer {
 public:
  SilentNameServer() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&address),
             sizeof address) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~SilentNameServer() {
    if (fd_ >= 0) close(fd_);
  }
  [[nodiscard]] bool listening() const { return fd_ >= 0; }
  /// The queries received since the last call.
  int takeQueries() {
    char query[512];
    int count = 0;
    while (recv(fd_, query, sizeof query, MSG_DONTWAIT) >= 0) ++count;
    return count;
  }

 private:
  int fd_ = -1;
};

}  // namespace quillon_test
