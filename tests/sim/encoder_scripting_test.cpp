// Scripted misbehaviour and timing: silence, replaced and split replies,
// unasked bytes, line pacing and when the card is swiped.
#include <gtest/gtest.h>

#include "encoder_test_fixture.h"

namespace sim::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds since(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(b - a);
}

TEST_F(EncoderLine, SilentEncoderRecordsFramesButAnswersNothing) {
  encoder->setSilent(true);
  port->write(kEsc + "e" + kEsc + "j");
  ASSERT_TRUE(encoder->waitForFrames(2, 1s));
  EXPECT_TRUE(port->readAll(150ms).empty());
  encoder->setSilent(false);
  EXPECT_EQ(ask(kEsc + "e"), bytesOf(kEsc + "y"));
}

TEST_F(EncoderLine, ReplacedRepliesGoOutInTheOrderTheyWereGiven) {
  encoder->replaceNextReply(bytesOf("first"));
  encoder->replaceNextReply(Bytes{});
  encoder->replaceNextReply(bytesOf(kEsc + "rx"));
  EXPECT_EQ(ask(kEsc + "e"), bytesOf("first"));
  port->write(kEsc + "j");  // replaced by nothing at all
  EXPECT_TRUE(port->readAll(150ms).empty());
  EXPECT_EQ(ask(kEsc + "j"), bytesOf(kEsc + "rx"));
  EXPECT_EQ(ask(kEsc + "j"), bytesOf(kEsc + "rp"));
}

TEST_F(EncoderLine, SplitReplyArrivesInBurstsWithTheGap) {
  encoder->loadDeck({Card{"", "0123456789", ""}});
  encoder->splitNextReply({3}, 150ms);
  port->write(kEsc + "]" + kEsc + "j");
  const auto arrivals = port->readFor(600ms);
  ASSERT_GE(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0].bytes, bytesOf(kEsc + "s0"));
  EXPECT_GE(since(arrivals[0].at, arrivals[1].at), 130ms);
  Bytes all;
  for (const auto& a : arrivals) {
    all.insert(all.end(), a.bytes.begin(), a.bytes.end());
  }
  EXPECT_EQ(all, bytesOf(kEsc + "s0123456789?" + kFs + kEsc + "rp"));
}

TEST_F(EncoderLine, ShortGapsKeepBurstsApartButWithinOneReply) {
  encoder->splitNextReply({1, 1}, 20ms);
  port->write(kEsc + "j");
  const auto arrivals = port->readFor(300ms);
  ASSERT_EQ(arrivals.size(), 3u);
  EXPECT_EQ(arrivals[0].bytes, bytesOf(kEsc));
  EXPECT_EQ(arrivals[1].bytes, bytesOf("r"));
  EXPECT_EQ(arrivals[2].bytes, bytesOf("p"));
  for (int i = 1; i < 3; ++i) {
    const auto gap = since(arrivals[i - 1].at, arrivals[i].at);
    EXPECT_GE(gap, 15ms);
    EXPECT_LT(gap, 79ms) << "a reader would take this as two replies";
  }
}

TEST_F(EncoderLine, SendNowPutsUnaskedBytesOnTheLine) {
  encoder->sendNow(bytesOf("stale" + kEsc + "rq"));
  EXPECT_EQ(port->readReply(), bytesOf("stale" + kEsc + "rq"));
  EXPECT_TRUE(encoder->frames().empty());
}

TEST_F(EncoderLine, RepliesArePacedAtTheBaudRate) {
  SimulatedEncoder::Options options;
  options.baudRate = 4800;  // about 2.1 ms a byte
  startEncoder(options);
  const std::string track(40, '5');
  encoder->loadDeck({Card{"", track, ""}});
  const auto sent = Clock::now();
  port->write(kEsc + "]" + kEsc + "j");
  const auto arrivals = port->readFor(400ms);
  ASSERT_FALSE(arrivals.empty());
  Bytes all;
  for (const auto& a : arrivals) {
    all.insert(all.end(), a.bytes.begin(), a.bytes.end());
  }
  ASSERT_EQ(all, bytesOf(kEsc + "s" + track + "?" + kFs + kEsc + "rp"));
  // 47 bytes at 10 bits each: the last starts 46 byte times after the first.
  const auto expected = std::chrono::microseconds(46 * 10'000'000 / 4800);
  EXPECT_GE(arrivals.back().at - arrivals.front().at, expected * 8 / 10);
  EXPECT_GE(arrivals.back().at - sent, expected * 8 / 10);
}

TEST_F(EncoderLine, CardIsSwipedOnDemandWhenThereIsNoDelay) {
  encoder->setSwipeDelay(std::nullopt);
  encoder->loadDeck({Card{"", "42", ""}});
  EXPECT_FALSE(encoder->swipe()) << "nothing waits yet";
  port->write(kEsc + "]" + kEsc + "j");
  ASSERT_TRUE(encoder->waitForFrames(1, 1s));
  EXPECT_TRUE(encoder->waitingForSwipe());
  EXPECT_TRUE(port->readAll(100ms).empty());
  EXPECT_EQ(ask(kEsc + "j"), bytesOf(kEsc + "rp"))
      << "status is answered while the read waits";
  EXPECT_TRUE(encoder->swipe());
  EXPECT_FALSE(encoder->waitingForSwipe());
  EXPECT_EQ(port->readReply(), bytesOf(kEsc + "s42?" + kFs + kEsc + "rp"));
  EXPECT_FALSE(encoder->swipe());
}

TEST_F(EncoderLine, SwipeDelayHoldsTheReplyBack) {
  encoder->setSwipeDelay(150ms);
  const auto sent = Clock::now();
  port->write(kEsc + "t" + "1" + kGs + kEsc + "\\" + kEsc + "j");
  ASSERT_TRUE(encoder->waitForFrames(1, 1s));
  EXPECT_TRUE(encoder->waitingForSwipe());
  EXPECT_EQ(port->readReply(), bytesOf(kEsc + "rp"));
  EXPECT_GE(since(sent, Clock::now()), 140ms);
  EXPECT_EQ(encoder->writtenCards().size(), 1u);
}

TEST_F(EncoderLine, ResetAbandonsTheOperationThatWaitsForACard) {
  encoder->setSwipeDelay(std::nullopt);
  port->write(kEsc + "t" + "1" + kGs + kEsc + "\\" + kEsc + "j");
  ASSERT_TRUE(encoder->waitForFrames(1, 1s));
  ASSERT_TRUE(encoder->waitingForSwipe());
  port->write(kEsc + "0");
  ASSERT_TRUE(encoder->waitForFrames(2, 1s));
  EXPECT_FALSE(encoder->waitingForSwipe());
  EXPECT_FALSE(encoder->swipe());
  EXPECT_EQ(encoder->resetCount(), 1);
  EXPECT_TRUE(port->readAll(100ms).empty());
  EXPECT_TRUE(encoder->writtenCards().empty());
}

TEST_F(EncoderLine, ResetAlsoCancelsADelayedSwipe) {
  encoder->setSwipeDelay(100ms);
  port->write(kEsc + "Bt" + kEsc + "j" + kEsc + "0");
  ASSERT_TRUE(encoder->waitForFrames(2, 1s));
  EXPECT_TRUE(port->readAll(250ms).empty());
}

TEST_F(EncoderLine, WaitForFramesWakesWhenTheFrameArrives) {
  EXPECT_FALSE(encoder->waitForFrames(1, 30ms));
  std::thread sender([this] {
    std::this_thread::sleep_for(50ms);
    port->write(kEsc + "x");
  });
  const auto start = Clock::now();
  EXPECT_TRUE(encoder->waitForFrames(1, 5s));
  EXPECT_LT(since(start, Clock::now()), 2s);
  sender.join();
  encoder->clearReceived();
  EXPECT_TRUE(encoder->frames().empty());
  EXPECT_TRUE(encoder->received().empty());
  EXPECT_FALSE(encoder->waitForFrames(1, 10ms));
}

}  // namespace
}  // namespace sim::testing
