// An EncoderDevice on the simulated encoder, with a keyboard the test
// presses and helpers to see what reached the encoder.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <string>

#include "bytes_of.h"
#include "fake_keyboard_probe.h"
#include "quillon/core/encoder_device.h"
#include "simulated_encoder.h"

namespace quillon_test {

/// The bytes of a frame written out, e.g. frame({0x1B, 0x30}).
Bytes frame(std::initializer_list<int> bytes);
/// `a` followed by `b`.
Bytes operator+(Bytes a, const Bytes& b);

class EncoderDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// Every byte the encoder received so far, once at least `count` bytes
  /// are in (or after two seconds).
  Bytes receivedOnce(std::size_t count);
  /// What the encoder received after a pause long enough for anything
  /// sent to have arrived.
  Bytes receivedAfterPause();
  /// Runs the unplugging of the encoder `after` from now, on a thread.
  void unplugAfter(std::chrono::milliseconds after);

  sim::SimulatedEncoder encoder;
  FakeKeyboardProbe keyboard;
  quillon::EncoderDevice device{keyboard};
  std::thread helper;
};

}  // namespace quillon_test
