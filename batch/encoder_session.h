// What the batch engine needs from the face that drives it (the CLI, the
// Python module): the open encoder and how a wait's end is told, where its
// results and progress go, and its messages. The engine holds no terminal,
// signal or option of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "quillon/core/encoder_device.h"

namespace quillon::batch {

/// How long the line must stay silent after a reset before no late answer
/// is on its way: the encoder answers at once, so a few replies' length at
/// the slowest rate is ample.
inline constexpr std::chrono::milliseconds kLateAnswerQuiet{300};

/// One encoder, opened by the face, with its waits ended by the face's
/// interruption (Ctrl-C).
class EncoderSession {
 public:
  virtual ~EncoderSession() = default;

  virtual EncoderDevice& device() = 0;
  /// True once the face was told to stop (a signal).
  [[nodiscard]] virtual bool interrupted() const = 0;
  /// The port as the user gave it.
  [[nodiscard]] virtual const std::string& port() const = 0;
  /// " at PORT" when the face drives several encoders, else empty.
  [[nodiscard]] virtual const std::string& at() const = 0;
  /// " at PORT", always: a message about the device names it.
  [[nodiscard]] std::string where() const { return " at " + port(); }
  /// Also shown each frame sent and reply received; empty: no longer.
  virtual void watchTraffic(
      std::function<void(bool sent, std::span<const std::uint8_t>)> watch) = 0;
  /// The outcome code (exit_codes.h) for a status that ends the encoder's
  /// part, after one message naming `what` was doing, `after` added. An
  /// interruption also sends the reset frame.
  virtual int fail(Status status, std::string_view what,
                   std::string_view after = {}) = 0;
  /// The reset frame after an interruption, where the device has not sent
  /// it already.
  virtual Status resetAfterInterrupt() = 0;
  /// After a read or write got no reply: stops the encoder waiting and
  /// asks for its status. QUILLON_OK when it answers. With `lateAnswer`,
  /// says whether anything came from the encoder after the wait ended.
  virtual Status checkStillAnswers(bool* lateAnswer = nullptr) = 0;
};

/// How a status (not Ctrl-C's) ends an encoder's part: the outcome code
/// and the message, naming what was being done ("the read of card 3") and
/// the encoder (`at`: " at PORT", or empty).
struct Failure {
  int code;
  std::string message;
};
[[nodiscard]] Failure failureOf(Status status, std::string_view doing,
                                const std::string& at, int baud);

/// What EncoderSession::checkStillAnswers does, on `device`: the reset
/// frame and a status query after a wait that got no reply.
Status checkStillAnswers(EncoderDevice& device, bool* lateAnswer);

/// Where each confirmed card's line goes ("card 3 written  track2=...").
class ResultSink {
 public:
  virtual ~ResultSink() = default;
  /// False when the line could not be written.
  virtual bool put(const std::string& text) = 0;
  /// True when the last put() failed because nobody reads any more.
  [[nodiscard]] virtual bool closedPipe() const = 0;
};

/// What each encoder of a batch does, for a progress display. Every
/// encoder's thread may call it.
class ProgressObserver {
 public:
  virtual ~ProgressObserver() = default;
  /// "waiting for a card", "reading card 7 back", "lost", "done".
  virtual void doing(std::size_t encoder, const std::string& what) = 0;
  /// Card `number` is done at `encoder`; `done` cards of the batch in all.
  virtual void cardDone(std::size_t encoder, long number, long done,
                        const std::string& detail) = 0;
};

/// The engine's messages to the operator ("pass card 7 through the
/// encoder at COM1 again"): to `sink` once set, else "quillon: ..." on
/// standard error. Set once, before a batch starts.
void setMessageSink(std::function<void(std::string_view)> sink);
void complain(std::string_view message);

}  // namespace quillon::batch
