// Byte strings for tests, written as text or taken from a fixed frame.
#pragma once

#include <array>
#include <string_view>

#include "encoder_protocol.h"

namespace quillon_test {

using protocol::Bytes;

/// Text as bytes, for readable expectations.
inline Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

template <std::size_t N>
Bytes bytesOf(const std::array<protocol::Byte, N>& frame) {
  return Bytes(frame.begin(), frame.end());
}

}  // namespace quillon_test
