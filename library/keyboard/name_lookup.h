// A host name looked up by the C library's own resolver thread
// (getaddrinfo_a), so that no thread of this library ever waits in a
// lookup that nothing can interrupt: a name server that never answers
// holds up only the C library's thread, until the resolver gives up.
#pragma once

#include <netdb.h>

#include <atomic>
#include <string>

namespace quillon {

class NameLookup {
 public:
  /// Starts looking up `host` for a stream connection to `service`.
  NameLookup(std::string host, std::string service);
  /// A lookup still running is left to the C library to finish, with the
  /// few bytes it writes its answer to (they are never freed).
  ~NameLookup();
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;

  /// Waits until the answer has come, or `stop` is set (looked at every
  /// 20 ms). The addresses found, or null: none, or stopped.
  const addrinfo* wait(const std::atomic<bool>& stop);

 private:
  struct Request;
  Request* request_;
};

}  // namespace quillon
