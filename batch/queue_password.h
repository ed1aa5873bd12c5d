// The password a queue URL may hold (a postgresql:// URI's user:password@
// or ?password=, a connection string's password=), kept out of every
// message: libpq quotes a URL it cannot parse whole, and a message may
// pass on what the URL said.
#pragma once

#include <string>
#include <vector>

namespace quillon::batch {

class PasswordMask {
 public:
  PasswordMask() = default;
  /// The passwords of `url`, as written and as libpq decodes them, even
  /// when the rest of it cannot be parsed.
  explicit PasswordMask(const std::string& url);

  /// `text` with each of them replaced by "***".
  [[nodiscard]] std::string hidden(std::string text) const;

 private:
  void add(std::string secret);

  std::vector<std::string> secrets_;  // longest first
};

}  // namespace quillon::batch
