// One use of the encoder from the command line: the port opened with the
// global options, waits that Ctrl-C ends, frames shown with --verbose, and
// the device's status codes turned into messages and exit codes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "encoder_session.h"
#include "interrupt_source.h"
#include "quillon/core/encoder_device.h"
#include "quillon/keyboard/keyboard_probe.h"

namespace quillon::cli {

// The CLI is a face over the batch engine: its names are the CLI's too.
using namespace quillon::batch;

struct GlobalOptions {
  /// The encoders' ports as given (COMn, n or a path), one or more.
  std::vector<std::string> ports;
  int baud = 9600;
  bool quiet = false;
  bool verbose = false;
  /// "complete": a reply ends as soon as it is whole; "pause": after 79 ms
  /// of silence, as the library's exported functions end it.
  std::string replyEnd = "complete";
};

/// Has every message (complain(), the CLI's and the batch engine's) print
/// "quillon: <message>" on stderr, clear of the progress line.
void printMessagesOnStderr();

class Session : public EncoderSession {
 public:
  /// The encoder at `port` (one of options.ports).
  Session(const GlobalOptions& options, std::string port,
          InterruptSource& interrupt);
  ~Session() override;  ///< closes the port
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  /// Opens the port: 0, or kExitUsage / kExitPort after a message, or
  /// kExitInterrupted when a signal came first (nothing is sent then).
  int open();
  EncoderDevice& device() override { return *device_; }
  [[nodiscard]] const GlobalOptions& options() const { return options_; }
  [[nodiscard]] bool interrupted() const override {
    return interrupt_.raised();
  }
  /// The port as the user gave it.
  [[nodiscard]] const std::string& port() const override { return port_; }
  /// " at PORT" when the program drives several encoders, else empty:
  /// messages name the encoder only where there is a choice.
  [[nodiscard]] const std::string& at() const override { return at_; }
  /// The descriptor that ends every wait on the encoder, as Ctrl-C does:
  /// the interrupt's (the default) or one that also watches it (an idle
  /// timer's, idle_timer.h).
  void endWaitsOn(int fd);
  /// Also shown each frame sent and reply received (after --verbose).
  void watchTraffic(
      std::function<void(bool sent, std::span<const std::uint8_t>)> watch)
      override {
    watch_ = std::move(watch);
  }

  /// The exit code for a status that ends the program, after one message
  /// naming `what` was doing, with `after` added to its end. An
  /// interruption (the status, or a signal that has come) also sends the
  /// reset frame where the device has not sent it already.
  int fail(Status status, std::string_view what,
           std::string_view after = {}) override;
  /// Ends the program on Ctrl-C between waits: the reset frame, 130.
  int stopOnInterrupt();
  /// The reset frame after Ctrl-C, where the device has not sent it: a
  /// caller that says so itself.
  Status resetAfterInterrupt() override;
  /// After a read or write got no reply: stops the encoder waiting and
  /// asks for its status. True when it answers, so the card may be asked
  /// for again; false (or an interruption) when it does not. With
  /// `lateAnswer`, says whether anything came from the encoder after the
  /// wait ended, before or soon after the reset (an answer that came late:
  /// the operation may have been carried out).
  Status checkStillAnswers(bool* lateAnswer = nullptr) override;

 private:
  GlobalOptions options_;
  std::string port_;
  std::string at_;
  InterruptSource& interrupt_;
  std::function<void(bool, std::span<const std::uint8_t>)> watch_;
  std::unique_ptr<KeyboardProbe> probe_;
  std::unique_ptr<EncoderDevice> device_;
  bool lastSentWasReset_ = false;
};

}  // namespace quillon::cli
