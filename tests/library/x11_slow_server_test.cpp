// Card reads while the X server the Escape probe asks is slow or frozen:
// the reply comes whole and the call keeps its bounds.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "encoder_device.h"
#include "fake_x_server.h"
#include "keyboard_probe.h"
#include "pty_pair.h"
#include "simulated_encoder.h"

namespace quillon_test {
namespace {

using namespace std::chrono_literals;
using Behaviour = FakeXServer::Behaviour;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 23;
// A reply of 98 bytes, paced at 9600 baud: about 100 ms on the line.
const sim::Card kCard{"VELMORA SLOW DISPLAY TEST CARD 0001 PADDING TO LENGTH",
                      "6011000990139424=25121010000", "0112345678901"};

sim::SimulatedEncoder::Options pacedLine() {
  sim::SimulatedEncoder::Options options;
  options.baudRate = 9600;
  return options;
}

class SlowXServerTest : public ::testing::TestWithParam<Behaviour> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(server.display().empty()) << "no display number was free";
    setenv("DISPLAY", server.display().c_str(), 1);
    ASSERT_TRUE(encoder.start()) << encoder.errorText();
    mapPort(kPort, encoder.slavePath());
    ASSERT_EQ(device.Open(kPort, 9600), 0);
  }
  void TearDown() override {
    device.Close();
    encoder.stop();
    unsetenv("DISPLAY");
  }
  int read() {
    tracks = {};
    return device.ReadCard(7, tracks[0].data(), tracks[1].data(),
                           tracks[2].data());
  }
  std::string track(int i) const { return tracks[i].data(); }

  FakeXServer server{GetParam()};
  sim::SimulatedEncoder encoder{pacedLine()};
  std::unique_ptr<quillon::KeyboardProbe> probe =
      quillon::makeMachineKeyboardProbe("/nonexistent");
  quillon::EncoderDevice device{*probe};
  std::array<std::array<char, 400>, 3> tracks{};
};

TEST_P(SlowXServerTest, ReadsGetWholeRepliesOnTime) {
  // Several reads: the first finds no connection yet, later ones use it
  // (a late server) or go on without it (a frozen one).
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE("read " + std::to_string(i));
    encoder.loadDeck({kCard});
    const auto start = Clock::now();
    ASSERT_EQ(read(), 0);
    const auto took = Clock::now() - start;
    EXPECT_EQ(track(0), kCard.track1);
    EXPECT_EQ(track(1), kCard.track2);
    EXPECT_EQ(track(2), kCard.track3);
    // The reply's 100 ms, the 79 ms pause that ends it, at most 100 ms of
    // connecting before the wait; the rest is room for a loaded machine.
    EXPECT_LT(took, 1500ms);
  }
  EXPECT_GE(server.connections(), 1);
  if (GetParam() == Behaviour::kLate) {
    EXPECT_GT(server.keymapRequests(), 0) << "the probe never asked";
  }
}

// The late server is really asked: Escape held there ends a read, late.
class LateXServerTest : public SlowXServerTest {};

TEST_P(LateXServerTest, EscapeHeldThereStillEndsARead) {
  encoder.loadDeck({kCard});
  ASSERT_EQ(read(), 0);  // sets the connection up
  server.holdEscape();
  encoder.setSwipeDelay(std::nullopt);  // the read waits for a card
  const auto start = Clock::now();
  EXPECT_EQ(read(), -13);
  EXPECT_LT(Clock::now() - start, 3s);
}

INSTANTIATE_TEST_SUITE_P(XServer, SlowXServerTest,
                         ::testing::Values(Behaviour::kLate,
                                           Behaviour::kSilent),
                         [](const auto& info) {
                           return info.param == Behaviour::kLate ? "Late"
                                                                 : "Frozen";
                         });

INSTANTIATE_TEST_SUITE_P(XServer, LateXServerTest,
                         ::testing::Values(Behaviour::kLate));

}  // namespace
}  // namespace quillon_test
