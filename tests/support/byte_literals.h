// Byte strings for tests, written as hex or as text.
#pragma once

#include <string_view>

#include "encoder_protocol.h"

namespace testbytes {

inline protocol::Bytes fromText(std::string_view text) {
  return protocol::Bytes(text.begin(), text.end());
}

template <std::size_t N>
protocol::Bytes fromArray(const std::array<protocol::Byte, N>& a) {
  return protocol::Bytes(a.begin(), a.end());
}

inline std::string textOf(protocol::ByteView reply, protocol::Segment s) {
  const auto bytes = protocol::segmentBytes(reply, s);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace testbytes
