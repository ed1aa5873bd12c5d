// Tells a read reply the encoder could have sent from line noise, byte by
// byte as it arrives. The encoder's read reply is at most 400 bytes, begins
// with ESC 's', has FS after its track block and ends with 'r' and the
// status byte. A babbling line (a loose connector, a wrong device) sends
// anything: the parse must not take more than one reply's worth of it, and
// a 'p' that ends noise must not count as a card that was read.
#pragma once

class ReadReplyWatch {
 public:
  /// The longest read reply the encoder sends.
  static constexpr int kMaxReplyBytes = 400;

  /// A new reply begins (the read frame is sent).
  void restart() { *this = ReadReplyWatch(); }
  /// Counts one received byte. False once the reply is longer than a reply
  /// can be: that byte and every later one are not to be parsed, so the
  /// track texts never hold more than one reply gave.
  bool take(unsigned char byte);
  /// Whether the bytes so far form a whole read reply: no more than the
  /// longest, ESC 's' first, FS seen, and 'r' in front of the last byte.
  [[nodiscard]] bool whole() const;

 private:
  int m_count = 0;
  bool m_overflowed = false;
  bool m_header = false;  // the first two bytes were ESC 's'
  bool m_sawFs = false;
  unsigned char m_previous = 0;  // the byte before the last one
  unsigned char m_last = 0;
};
