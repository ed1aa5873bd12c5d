// The encoder's operations: each builds its frame, sends it through the
// serial port, reads the reply where one is awaited, takes it apart and
// returns a status code (quillon_status in quillon.h).
//
// Choices made where the protocol leaves one open:
//  - On a closed port every operation but Open and Close returns -1,
//    before anything else is looked at.
//  - WriteCard refuses (-3, nothing sent) a null text or one longer than
//    its limit (199, 129, 149 characters), whatever the selection: all
//    three texts are taken whatever tracks are written.
//  - ReadCard of selection 5 (no read command exists) or outside 1..7
//    sends nothing and returns -4: the read cannot start. So does a null
//    buffer for a selected track; unselected tracks' buffers are never
//    touched and may be null.
//  - ReadCard of selection 1 or 2 whose reply does not end in 'p' returns
//    -5 and changes no buffer, like every other selection.
//  - Escape while ReadCard or WriteCard waits sends the reset frame ESC '0'
//    and returns -13; TestCommunication and QueryStatus return -13 alone.
#pragma once

#include <cstdint>

#include "keyboard_probe.h"
#include "serial_port.h"

namespace quillon {

using Status = std::int16_t;

class EncoderDevice {
 public:
  EncoderDevice() = default;
  /// A device whose port asks `probe` for the Escape key.
  explicit EncoderDevice(KeyboardProbe& probe);
  /// Does nothing to the port: an open port stays open.
  virtual ~EncoderDevice();
  EncoderDevice(const EncoderDevice&) = delete;
  EncoderDevice& operator=(const EncoderDevice&) = delete;

  Status Open(int portNumber, int baudRate);
  Status Close();
  Status Reset();
  /// Mode 0 low (ESC 'y'), 1 high (ESC 'x'), anything else ESC 0x00.
  Status SetCoercivity(int mode);
  /// ESC and the low byte of `letter` ('H' 210 BPI, 'L' 75 BPI).
  Status SetTrack2Density(int letter);
  /// ESC 'c' and the low byte of `code`.
  Status EraseCard(int code);
  Status TestCommunication();
  Status QueryStatus();
  /// Copies each selected track to the start of its buffer (at least 400
  /// bytes), without a terminator.
  Status ReadCard(int selection, char* track1, char* track2, char* track3);
  /// Texts are zero-terminated.
  Status WriteCard(int selection, const char* track1, const char* track2,
                   const char* track3);

  [[nodiscard]] bool isOpen() const { return port_.isOpen(); }

 private:
  Status sendWithoutReply(std::span<const std::uint8_t> frame);
  /// Status of a status answer: 'p' 0, 'q' -5, anything else -2.
  static Status statusOfAnswer(std::span<const std::uint8_t> reply);

  SerialPort port_;
};

}  // namespace quillon
