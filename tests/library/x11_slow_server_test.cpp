// Card reads while the X server the Escape probe asks is slow or frozen,
// or its display names a host whose name server never answers: the reply
// comes whole and the call keeps its bounds.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "fake_x_server.h"
#include "pty_pair.h"
#include "quillon/core/encoder_device.h"
#include "quillon/keyboard/keyboard_probe.h"
#include "silent_name_server.h"
#include "simulated_encoder.h"

namespace quillon_test {
namespace {

using namespace std::chrono_literals;
using Behaviour = FakeXServer::Behaviour;
using Clock = std::chrono::steady_clock;

// A reply of 98 bytes, paced at 9600 baud: about 100 ms on the line.
const sim::Card kCard{"VELMORA SLOW DISPLAY TEST CARD 0001 PADDING TO LENGTH",
                      "6011000990139424=25121010000", "0112345678901"};

sim::SimulatedEncoder::Options pacedLine() {
  sim::SimulatedEncoder::Options options;
  options.baudRate = 9600;
  return options;
}

struct Display {
  const char* name;
  Behaviour server;
  /// The display is named by a host whose lookup never gets an answer.
  bool behindDeadNameServer;
};

void PrintTo(const Display& display, std::ostream* out) {
  *out << display.name;
}

class SlowXServerTest : public ::testing::TestWithParam<Display> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(server.display().empty()) << "no display number was free";
    std::string display = server.display();
    if (GetParam().behindDeadNameServer) {
      if (getenv("QUILLON_DEAD_NAME_SERVER") == nullptr)
        GTEST_SKIP() << "run by the test quillon_x11_dead_name_server";
      nameServer = std::make_unique<SilentNameServer>();
      ASSERT_TRUE(nameServer->listening()) << "127.0.0.1:53 is taken";
      setenv("RES_OPTIONS", "timeout:1 attempts:1", 1);  // gives up in 1 s
      display = "quillon-display-host" + display;
    }
    setenv("DISPLAY", display.c_str(), 1);
    ASSERT_TRUE(encoder.start()) << encoder.errorText();
    ASSERT_EQ(device.Open(encoder.slavePath(), 9600), 0);
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
  void fourReadsOnTime() {
    for (int i = 0; i < 4; ++i) {
      SCOPED_TRACE("read " + std::to_string(i));
      encoder.loadDeck({kCard});
      const auto start = Clock::now();
      ASSERT_EQ(read(), 0);
      const auto took = Clock::now() - start;
      EXPECT_EQ(track(0), kCard.track1);
      EXPECT_EQ(track(1), kCard.track2);
      EXPECT_EQ(track(2), kCard.track3);
      // The reply's 100 ms, the 79 ms pause that ends it, at most 100 ms
      // of connecting before the wait; the rest is room for a loaded
      // machine.
      EXPECT_LT(took, 1500ms);
    }
  }

  std::unique_ptr<SilentNameServer> nameServer;
  FakeXServer server{GetParam().server};
  sim::SimulatedEncoder encoder{pacedLine()};
  std::unique_ptr<quillon::KeyboardProbe> probe =
      quillon::makeMachineKeyboardProbe("/nonexistent");
  quillon::EncoderDevice device{*probe};
  std::array<std::array<char, 400>, 3> tracks{};
};

TEST_P(SlowXServerTest, ReadsGetWholeRepliesOnTime) {
  // Several reads: the first finds no connection yet, later ones use it
  // (a late server) or go on without it (a frozen one, a host name still
  // being looked up).
  fourReadsOnTime();
  if (GetParam().behindDeadNameServer) {
    // The lookup has given up by now (in 1 s): the reads after it look
    // nothing up again for a while.
    std::this_thread::sleep_for(2s);
    nameServer->takeQueries();
    fourReadsOnTime();
    EXPECT_EQ(nameServer->takeQueries(), 0) << "the name was looked up again";
    return;
  }
  EXPECT_GE(server.connections(), 1);
  if (GetParam().server == Behaviour::kLate) {
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

const auto displayName = [](const auto& info) {
  return std::string(info.param.name);
};

INSTANTIATE_TEST_SUITE_P(
    XServer, SlowXServerTest,
    ::testing::Values(Display{"Late", Behaviour::kLate, false},
                      Display{"Frozen", Behaviour::kSilent, false},
                      Display{"DeadNameServer", Behaviour::kLate, true}),
    displayName);

INSTANTIATE_TEST_SUITE_P(XServer, LateXServerTest,
                         ::testing::Values(Display{"Late", Behaviour::kLate,
                                                   false}),
                         displayName);

}  // namespace
}  // namespace quillon_test
