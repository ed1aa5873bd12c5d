// The encoder's operations on one device, named by its path: each builds
// its frame, sends it through the serial port, reads the reply where one is
// awaited, takes it apart and returns a status code (quillon/core/status.h).
// Devices are independent of each other: a program may drive several
// encoders, one EncoderDevice each.
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
//    -5 and changes no buffer, like every other selection. So does a reply
//    that is not whole (protocol::ReplyTracker: a byte in front of ESC 's',
//    no FS behind the block), as ReadTracks refuses it.
//  - Escape while ReadCard or WriteCard waits sends the reset frame ESC '0'
//    and returns -13; TestCommunication and QueryStatus return -13 alone.
//  - WriteCard returns -5 only for a whole status answer ESC 'r' 'q'; any
//    other bytes (cut short, garbled, the tail of an earlier reply) -2:
//    the card may or may not have been written.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "encoder_protocol.h"
#include "quillon/core/serial_port.h"
#include "quillon/core/status.h"
#include "quillon/keyboard/keyboard_probe.h"
#include "reply_tracker.h"

namespace quillon {

class EncoderDevice {
 public:
  /// A device that watches the machine's keyboard, through a probe of its
  /// own.
  EncoderDevice() = default;
  /// A device whose port asks `probe` for the Escape key.
  explicit EncoderDevice(KeyboardProbe& probe);
  /// Does nothing to the port: an open port stays open.
  virtual ~EncoderDevice();
  EncoderDevice(const EncoderDevice&) = delete;
  EncoderDevice& operator=(const EncoderDevice&) = delete;

  /// Opens the device at `path` (closing an open one first); -1 when it
  /// cannot be opened or `baudRate` is not positive, and it is then closed.
  Status Open(const std::string& path, int baudRate);
  Status Close();
  Status Reset();
  /// Mode 0 low (ESC 'y'), 1 high (ESC 'x'), anything else ESC 0x00.
  Status SetCoercivity(int mode);
  /// ESC and the low byte of `letter` ('H' 210 BPI, 'L' 75 BPI).
  Status SetTrack2Density(int letter);
  /// ESC 'c' and the low byte of `code`.
  Status EraseCard(int code);
  Status TestCommunication();
  /// With `alone`, says whether the answer was one whole status answer
  /// with silence behind it (bytes around it: another frame's answer came).
  Status QueryStatus(bool* alone = nullptr);
  /// True when bytes arrive (or wait) within `quiet` without a frame sent:
  /// a late answer to the last frame. They are dropped.
  bool LateInput(std::chrono::milliseconds quiet);
  /// Copies each selected track to the start of its buffer (at least 400
  /// bytes), without a terminator.
  Status ReadCard(int selection, char* track1, char* track2, char* track3);
  /// Texts are zero-terminated.
  Status WriteCard(int selection, const char* track1, const char* track2,
                   const char* track3);

  [[nodiscard]] bool isOpen() const { return port_.isOpen(); }

  /// What a program that drives the device itself may add to every wait;
  /// the exported functions never set it, so they keep the pause rule.
  struct WaitOptions {
    /// Once readable, a wait ends as Escape ends it (-13; a read or write
    /// then sends the reset frame). -1 for none. A reply that has begun
    /// to arrive is taken whole and reported as if nothing had come: the
    /// caller asks the descriptor afterwards.
    int interruptFd = -1;
    /// End a reply as soon as it has ended (protocol::ReplyTracker: a
    /// status answer's status byte, ESC 'y' of the line test) instead of
    /// after the pause; any other reply still ends on the pause.
    bool endOnCompleteReply = false;
    /// Sees each frame sent (sent = true) and each reply received.
    std::function<void(bool sent, std::span<const std::uint8_t>)> traffic;
    /// The caller's bound on each wait in place of the 11 s
    /// (SerialPort::ReadEnd::limit): QUILLON_ERR_TIMED_OUT when it passes
    /// with nothing received; SerialPort::kNoLimit for none.
    std::optional<std::chrono::milliseconds> limit;
  };
  void setWaitOptions(WaitOptions options) { wait_ = std::move(options); }

  /// ReadCard into strings that hold exactly each selected track's bytes
  /// (zero bytes included); the strings of other tracks are emptied. Only
  /// a whole reply (the header first; '?', FS and the status answer last)
  /// gives a card, so that a line that babbles never passes its bytes off
  /// as one. -5 only for a whole reply with the encoder's 'q' (no card
  /// texts: blank?); -2 for any other reply (not whole, another status
  /// byte), which says nothing of the card.
  Status ReadTracks(int selection, std::array<std::string, 3>& tracks);

 private:
  using ReplyBuffer = std::array<std::uint8_t, SerialPort::kReadSize>;

  /// A reply received: QUILLON_OK and its bytes, or why none came. The
  /// tracker has followed every byte.
  struct Reply {
    Status status = QUILLON_ERR_NO_REPLY;
    std::span<const std::uint8_t> bytes;
    protocol::ReplyTracker tracker;
  };

  Status send(std::span<const std::uint8_t> frame);
  /// Takes one reply of `kind` into `buffer` (ending the wait as soon as
  /// it has ended when so asked).
  /// `mustStandAlone`: the answer of a card's write or read, which is
  /// whole only with a few bytes' time of silence behind it.
  Reply receive(ReplyBuffer& buffer, protocol::ReplyTracker::Kind kind,
                bool mustStandAlone = false);
  /// Sends the read command of `selection` and takes its reply; QUILLON_OK
  /// only for a reply that ends in 'p', which `split` then takes apart.
  Reply readReply(int selection, ReplyBuffer& buffer,
                  protocol::ReadReply& split);
  /// Status of a status answer: 'p' 0, 'q' -5, anything else -2.
  static Status statusOfAnswer(std::span<const std::uint8_t> reply);
  /// Status of a reply its tracker followed: 'p' 0 and 'q' -5 only when
  /// the reply is whole; anything else -2.
  static Status statusOfReply(const protocol::ReplyTracker& tracker);

  SerialPort port_;
  /// How long the line must stay silent after a reply that ended at its
  /// last byte for the reply to stand alone.
  [[nodiscard]] std::chrono::microseconds trailingQuiet() const;

  WaitOptions wait_;
};

}  // namespace quillon
