// A card as the program prints or journals it: JSON Lines, CSV (RFC 4180,
// CRLF line ends) and text for people. Track bytes are Latin-1 text in
// UTF-8 (card_text.h); JSON escapes every byte that is not printable ASCII.
#pragma once

#include <array>
#include <chrono>
#include <string>

namespace quillon::batch {

using Tracks = std::array<std::string, 3>;  ///< tracks 1, 2 and 3, as bytes

struct CardRecord {
  long sequence = 0;
  std::chrono::system_clock::time_point time;
  bool ok = true;     ///< false: the encoder reported a failed read
  int selection = 7;  ///< which tracks the record carries
  Tracks tracks;
  /// The encoder's port as given on the command line; empty: the record
  /// does not name it (one encoder).
  std::string port;
};

/// "2026-12-07T11:30:00.123Z"
[[nodiscard]] std::string isoTime(std::chrono::system_clock::time_point time);

/// {"seq":1,"time":"...","status":"ok","port":"..","track1":"..",...}, no
/// newline; a failed read carries no tracks, a record without a port no
/// "port".
[[nodiscard]] std::string jsonLine(const CardRecord& record);
/// seq,time,status, port when `withPort`, and the selected tracks' names,
/// CRLF-terminated.
[[nodiscard]] std::string csvHeader(int selection, bool withPort = false);
/// One CSV row, CRLF-terminated; fields quoted where they need it; the
/// port column when the record names its port.
[[nodiscard]] std::string csvRow(const CardRecord& record);
/// "card 1  port=..  track1=..  track2=..", with \xNN escapes,
/// newline-terminated; port= only when the record names its port.
[[nodiscard]] std::string textLine(const CardRecord& record);

}  // namespace quillon::batch
