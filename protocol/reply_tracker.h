// Follows one reply of the encoder byte by byte as it arrives, and tells
// when it has ended and whether it is whole. Every reader of replies uses
// it: the library's waits, the operator's program and the command-line
// program, so that all of them take the same bytes for a reply.
#pragma once

#include <array>
#include <cstddef>

#include "encoder_protocol.h"

namespace protocol {

class ReplyTracker {
 public:
  enum class Kind {
    ReadReply,     ///< ESC 's', the track block, '?', FS, ESC 'r', status
    StatusAnswer,  ///< ESC 'r' and the status byte
    LineTest,      ///< ESC 'y', the communication test's answer
  };

  explicit ReplyTracker(Kind kind = Kind::ReadReply) : kind_(kind) {}

  /// A new reply begins (its command is sent).
  void restart() { *this = ReplyTracker(kind_); }

  /// Takes the next byte. False once the reply would grow past the longest
  /// reply (kMaxReplySize): that byte and every later one are not part of
  /// it, and the reply is no longer whole.
  bool take(Byte byte);
  void take(ByteView bytes) {
    for (const Byte b : bytes) take(b);
  }

  /// The encoder has sent all it will send for this reply, so a wait can
  /// end now instead of after the pause that otherwise ends a reply. A
  /// status answer has ended with the byte after its first 'r'; a read
  /// reply with the byte after the first 'r' behind its first '?'; the
  /// line test's answer once it begins ESC 'y'.
  [[nodiscard]] bool ended() const { return ended_; }

  /// The bytes are one reply exactly as the encoder frames it. A read
  /// reply: ESC 's' first, the block's first '?' followed by FS, ESC, 'r'
  /// and the status byte as the last bytes, no more than kMaxReplySize in
  /// all. A status answer: ESC 'r' and the status byte, nothing else. The
  /// line test's answer: ended(). A babbling line's bytes, and the tail of
  /// an earlier reply, are never whole.
  [[nodiscard]] bool whole() const;

  /// What the encoder said: Success or Failure only for a whole reply
  /// whose status byte is 'p' or 'q' (a whole line test answer is a
  /// Success). Anything else says nothing of what the encoder did.
  [[nodiscard]] ReplyStatus status() const;

  /// Bytes taken.
  [[nodiscard]] std::size_t size() const { return count_; }

 private:
  void follow(Byte byte);

  Kind kind_;
  std::size_t count_ = 0;
  bool overflowed_ = false;
  bool ended_ = false;
  bool header_ = false;         // the first bytes: ESC 's', 'r' or 'y'
  bool blockEnded_ = false;     // a read reply's first '?' has come
  std::size_t blockEnd_ = 0;    // ... at this index
  bool markerSeen_ = false;     // the 'r' in front of the status byte
  std::array<Byte, 4> tail_{};  // the last four bytes, oldest first
};

}  // namespace protocol
