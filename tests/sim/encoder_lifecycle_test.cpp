// The line itself: the other side coming and going, unplugging, stopping
// and starting again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "encoder_test_fixture.h"

namespace sim::testing {
namespace {

// Each opener takes the line for itself and goes without giving it back,
// as a killed program does: as with a device, the line is free again once
// its last opener has gone (root would not notice, so the mode is read).
TEST_F(EncoderLine, OtherSideMayCloseAndReopenTheLine) {
  const std::string path = encoder->slavePath();
  port.reset();
  for (int round = 0; round < 3; ++round) {
    port = std::make_unique<SlavePort>(path);
    ASSERT_TRUE(port->isOpen()) << "round " << round;
    int exclusive = 1;
    for (int tries = 0; tries < 100; ++tries) {
      ASSERT_EQ(::ioctl(port->fd(), TIOCGEXCL, &exclusive), 0);
      if (exclusive == 0) break;
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(exclusive, 0) << "round " << round;
    ASSERT_EQ(::ioctl(port->fd(), TIOCEXCL), 0);
    EXPECT_EQ(ask(kEsc + "e"), bytesOf(kEsc + "y")) << "round " << round;
    port->close();
  }
  EXPECT_EQ(encoder->frames().size(), 3u);
}

TEST_F(EncoderLine, ReplySentWhileTheOtherSideIsAwayWaitsInTheLine) {
  encoder->setSwipeDelay(std::nullopt);
  port->write(kEsc + "]" + kEsc + "j");
  ASSERT_TRUE(encoder->waitForFrames(1, 1s));
  port->close();
  EXPECT_TRUE(encoder->swipe());
  std::this_thread::sleep_for(50ms);

  port = std::make_unique<SlavePort>(encoder->slavePath());
  ASSERT_TRUE(port->isOpen());
  EXPECT_EQ(port->readReply(), bytesOf(kEsc + "s?" + kFs + kEsc + "rq"))
      << "stale input, for the other side to discard";
  port->write(kEsc + "]" + kEsc + "j");
  ASSERT_TRUE(encoder->waitForFrames(2, 1s));
  EXPECT_TRUE(encoder->waitingForSwipe());
  ASSERT_EQ(::tcflush(port->fd(), TCIFLUSH), 0);
  EXPECT_TRUE(encoder->swipe());
  EXPECT_EQ(port->readReply(), bytesOf(kEsc + "s?" + kFs + kEsc + "rq"));
}

TEST_F(EncoderLine, UnplugHangsUpTheLineAndRemovesThePath) {
  const std::string path = encoder->slavePath();
  encoder->unplug();

  pollfd p{port->fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
  std::uint8_t byte = 0;
  EXPECT_LE(::read(port->fd(), &byte, 1), 0);
  EXPECT_EQ(::write(port->fd(),
                    "\x1b"
                    "e",
                    2),
            -1);

  const int again = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_LT(again, 0) << path << " still opens";
  if (again >= 0) ::close(again);

  encoder->sendNow(bytesOf("x"));  // harmless once unplugged
  encoder->unplug();
  EXPECT_EQ(encoder->slavePath(), path);
}

TEST_F(EncoderLine, StartAfterStopServesANewLine) {
  encoder->loadDeck({Card{"", "7", ""}});
  encoder->stop();
  ASSERT_TRUE(encoder->start()) << encoder->errorText();
  port = std::make_unique<SlavePort>(encoder->slavePath());
  ASSERT_TRUE(port->isOpen());
  EXPECT_EQ(ask(kEsc + "]" + kEsc + "j"),
            bytesOf(kEsc + "s7?" + kFs + kEsc + "rp"));
}

TEST(EncoderProgramState, NothingIsServedBeforeStart) {
  SimulatedEncoder encoder;
  EXPECT_TRUE(encoder.slavePath().empty());
  EXPECT_FALSE(encoder.swipe());
  encoder.sendNow(bytesOf("ignored"));
  encoder.stop();  // stopping an encoder that never ran is harmless
}

}  // namespace
}  // namespace sim::testing
