// One encoder opened from Python: the batch engine's EncoderSession, with
// waits that end on Ctrl-C (signal_wake.h) or on a deadline of the
// caller's, and messages kept for the exception that reports them rather
// than printed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "encoder_session.h"
#include "quillon/core/encoder_device.h"
#include "quillon/keyboard/keyboard_probe.h"

namespace quillon::python {

class PySession : public batch::EncoderSession {
 public:
  /// Opens `port` (a path, COMn or n); throws PortOpenError or
  /// std::invalid_argument for a name that names no port.
  PySession(std::string port, int baud);
  ~PySession() override;
  PySession(const PySession&) = delete;
  PySession& operator=(const PySession&) = delete;

  EncoderDevice& device() override { return device_; }
  [[nodiscard]] bool interrupted() const override;
  [[nodiscard]] const std::string& port() const override { return port_; }
  [[nodiscard]] const std::string& at() const override { return at_; }
  void watchTraffic(
      std::function<void(bool, std::span<const std::uint8_t>)> watch) override {
    watch_ = std::move(watch);
  }
  int fail(Status status, std::string_view what,
           std::string_view after = {}) override;
  Status resetAfterInterrupt() override;
  Status checkStillAnswers(bool* lateAnswer = nullptr) override;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] int baud() const { return baud_; }
  /// Names the port in messages (the session is one of several).
  void nameInMessages(bool named) { at_ = named ? " at " + port_ : ""; }
  /// The last message fail() composed (and the status it was for).
  [[nodiscard]] const std::string& lastMessage() const { return message_; }
  [[nodiscard]] Status lastStatus() const { return lastStatus_; }
  void clearMessage() { message_.clear(); }
  /// Ends the waits of the operations that follow at `deadline` (none: no
  /// end but Ctrl-C); true after one ended because the deadline passed.
  void setDeadline(std::optional<std::chrono::steady_clock::time_point> end);
  [[nodiscard]] bool deadlinePassed() const;
  /// Held by whichever Python thread drives the encoder.
  std::mutex& mutex() { return mutex_; }
  void close();

 private:
  std::string port_;
  std::string path_;
  std::string at_;
  int baud_;
  std::unique_ptr<KeyboardProbe> probe_;
  EncoderDevice device_;
  int waitFd_ = -1;   // epoll: the signal's descriptor and the timer
  int timerFd_ = -1;  // the caller's deadline
  std::function<void(bool, std::span<const std::uint8_t>)> watch_;
  bool lastSentWasReset_ = false;
  std::string message_;
  Status lastStatus_ = QUILLON_OK;
  std::mutex mutex_;
};

/// A port that cannot be opened: the errno and the diagnosis that `quillon`
/// gives.
struct PortOpenError {
  int error;
  std::string message;
  std::string path;
};

}  // namespace quillon::python
