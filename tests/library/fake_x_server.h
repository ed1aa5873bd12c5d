// An X server of the test's own on a numbered display socket, for the ways
// a real one misbehaves: it answers every request late, or it accepts the
// connection and never answers at all. It knows just the requests the
// keyboard probe sends (the handshake, the keyboard mapping, the key state)
// and counts the key-state requests it received.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace quillon_test {

class FakeXServer {
 public:
  enum class Behaviour {
    kLate,   ///< every answer 100 to 150 ms after its request
    kSilent  ///< accepts and reads, never answers
  };

  explicit FakeXServer(Behaviour behaviour);
  ~FakeXServer();
  FakeXServer(const FakeXServer&) = delete;
  FakeXServer& operator=(const FakeXServer&) = delete;

  /// ":N", or empty when no display number could be had.
  [[nodiscard]] const std::string& display() const { return display_; }
  [[nodiscard]] int keymapRequests() const { return keymapRequests_; }
  [[nodiscard]] int connections() const { return connections_; }
  /// The authorization the last client's handshake carried: its protocol
  /// name and data, joined by a colon; empty before any handshake.
  [[nodiscard]] std::string authorization() const;
  /// From now on the key state answered has Escape (keycode 9) down.
  void holdEscape() { escapeHeld_ = true; }

 private:
  void serve();
  void serveConnection(int fd);

  Behaviour behaviour_;
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::string display_;
  std::string socketPath_;
  std::atomic<int> keymapRequests_{0};
  std::atomic<int> connections_{0};
  std::atomic<bool> escapeHeld_{false};
  mutable std::mutex mutex_;
  std::string authorization_;
  std::thread thread_;
};

}  // namespace quillon_test
