// Counted nouns for messages: "1 time", "3 times".
#pragma once

#include <string>

namespace quillon::batch {

/// `count` and the noun, with an "s" unless the count is one.
[[nodiscard]] inline std::string counted(long count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace quillon::batch
