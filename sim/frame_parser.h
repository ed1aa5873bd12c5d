// Cuts the byte stream the encoder receives into command frames. Bytes may
// arrive split anywhere or several frames at once; the parser keeps the
// unfinished tail until the rest comes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

enum class FrameKind {
  Reset,              ///< ESC '0'
  HighCoercivity,     ///< ESC 'x'
  LowCoercivity,      ///< ESC 'y'
  Density210,         ///< ESC 'H'
  Density75,          ///< ESC 'L'
  Erase,              ///< ESC 'c' code
  CommunicationTest,  ///< ESC 'e'
  StatusRequest,      ///< ESC 'j'
  Read,               ///< a read command and ESC 'j'
  Write,              ///< ESC 't' block GS ESC '\' ESC 'j'
  Unknown,            ///< bytes the encoder does not know
};

struct Frame {
  FrameKind kind = FrameKind::Unknown;
  std::vector<std::uint8_t> bytes;  ///< the frame as received
  int selection = 0;                ///< Read: the selection of the command
  std::uint8_t eraseCode = 0;       ///< Erase: the byte after ESC 'c'
  std::vector<std::uint8_t> block;  ///< Write: the track block
};

/// How frames are cut:
/// - known frames are matched byte for byte; ESC 'c' takes any next byte as
///   its code; a write block runs to the first GS ESC '\' and may hold any
///   other bytes (ESC included);
/// - ESC and a byte that starts no known frame make a two-byte Unknown
///   frame (ESC 0x00 for instance); ESC ESC makes a one-byte one;
/// - a frame that breaks off (ESC 'B' ESC 'j') becomes an Unknown frame that
///   ends before the last ESC in it, and parsing goes on from there, so the
///   next command is never lost;
/// - bytes outside any frame form one Unknown frame that ends at the next
///   ESC (until then it is not yet a frame);
/// - a write block longer than kMaxWriteBlock bytes overflows the
///   encoder's buffer: what came so far is one Unknown frame.
class FrameParser {
 public:
  static constexpr std::size_t kMaxWriteBlock = 1024;

  /// Takes the next received bytes and returns the frames they complete.
  std::vector<Frame> feed(std::span<const std::uint8_t> bytes);
  /// Bytes held back as the start of a frame not yet complete.
  [[nodiscard]] const std::vector<std::uint8_t>& pending() const {
    return pending_;
  }
  void clear() { pending_.clear(); }

 private:
  std::vector<std::uint8_t> pending_;
};

}  // namespace sim
