// Escape as the X server sees it, asked without ever waiting for the
// server: a QueryKeymap request goes out at most every 10 ms and its answer
// is taken when it has come, so a slow or frozen server can neither hold
// up a read nor stretch or shorten a reply. The connection's descriptor
// joins the read's poll set, so an answer wakes the read.
//
// libxcb (and libXau for the display's cookie) are loaded at run time: the
// library has no link-time dependency on them. Without them, without a
// display or while the server does not answer, the key reads as up.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "quillon/keyboard/keyboard_probe.h"

namespace quillon {

class X11KeyboardProbe final : public KeyboardProbe {
 public:
  using Clock = std::chrono::steady_clock;

  /// Longest a read waits, before it begins, for a new connection to be
  /// set up (the name looked up, connected, the handshake done). One still
  /// being set up after this goes on in the background, on a thread of
  /// its own, and is taken up by a later read ...
  static constexpr std::chrono::milliseconds kConnectWait{100};
  /// ... unless its connect and handshake take longer than this: then it
  /// is given up. (The name lookup ends by the resolver's own timeouts.)
  static constexpr std::chrono::milliseconds kConnectLimit{5000};
  /// An attempt that failed after the read stopped waiting for it (a name
  /// server or an X server that does not answer) is not tried again for
  /// this long; one that failed at once (no server there yet) is tried
  /// again by the next read.
  static constexpr std::chrono::seconds kRetryDelay{30};
  /// How often the key state is asked for while a read waits.
  static constexpr std::chrono::milliseconds kQueryInterval{10};

  X11KeyboardProbe();
  ~X11KeyboardProbe() override;
  X11KeyboardProbe(const X11KeyboardProbe&) = delete;
  X11KeyboardProbe& operator=(const X11KeyboardProbe&) = delete;

  /// Connects to $DISPLAY when not connected (waiting at most
  /// kConnectWait; a display that appears later is found by a later call),
  /// forgets the key state seen before and asks for the current one.
  void beginWatch() override;
  /// Whether the last answer since beginWatch() had Escape down. Takes an
  /// answer that has come and sends the next request when one is due.
  bool escapePressed() override;
  /// The connection's descriptor (readable when an answer comes), if any.
  [[nodiscard]] std::span<const int> wakeDescriptors() const override;
  /// kQueryInterval while connected or connecting: the server reports no
  /// key it was not asked about.
  [[nodiscard]] std::optional<std::chrono::milliseconds> recheckInterval()
      const override;

  /// The connection's descriptor; -1 when not connected.
  [[nodiscard]] int descriptor() const { return fd_; }
  [[nodiscard]] bool isOpen() const { return connection_ != nullptr; }
  /// A connection is being set up: escapePressed() takes it up when ready.
  [[nodiscard]] bool isConnecting() const { return attempt_ != nullptr; }

 private:
  struct Api;
  struct Attempt;
  void startAttempt();
  void pollAttempt();
  void finishAttempt(bool stop);
  void takeAnswer();
  void sendQuery();
  void disconnect();
  void forgetConnection();
  /// In a child of fork: drops the parent's attempt and connection
  /// without touching them, so that the child sets up its own.
  void dropInherited();

  unsigned generation_;  // the fork generation its state belongs to
  std::unique_ptr<Api> api_;
  std::unique_ptr<Attempt> attempt_;
  void* connection_ = nullptr;  // xcb_connection_t
  int fd_ = -1;                 // its descriptor
  std::uint8_t escapeKeycode_ = 0;
  bool queryPending_ = false;
  bool pendingFromEarlierWatch_ = false;  // its answer predates the watch
  unsigned int querySequence_ = 0;
  Clock::time_point lastQuery_{};
  Clock::time_point retryFrom_{};
  bool escapeDown_ = false;
};

}  // namespace quillon
