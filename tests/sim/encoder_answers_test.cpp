// What the simulated encoder answers on a real pseudo-terminal, byte for
// byte: every frame, frames split or bunched, and the card it swipes.
#include <gtest/gtest.h>

#include "encoder_test_fixture.h"

namespace sim::testing {
namespace {

TEST_F(EncoderLine, AnswersCommunicationTestAndStatusRequest) {
  EXPECT_EQ(ask(kEsc + "e"), bytesOf(kEsc + "y"));
  EXPECT_EQ(ask(kEsc + "j"), bytesOf(kEsc + "rp"));
  EXPECT_EQ(encoder->frames(),
            (std::vector<Bytes>{bytesOf(kEsc + "e"), bytesOf(kEsc + "j")}));
}

TEST_F(EncoderLine, SettingFramesGetNoAnswerButTakeEffect) {
  EXPECT_TRUE(encoder->highCoercivity());
  EXPECT_EQ(encoder->track2Density(), 210);
  port->write(kEsc + "y" + kEsc + "L" + kEsc + "0" + kEsc + "0");
  ASSERT_TRUE(encoder->waitForFrames(4, 1s));
  EXPECT_TRUE(port->readAll(100ms).empty());
  EXPECT_FALSE(encoder->highCoercivity());
  EXPECT_EQ(encoder->track2Density(), 75);
  EXPECT_EQ(encoder->resetCount(), 2);

  port->write(kEsc + "x" + kEsc + "H");
  ASSERT_TRUE(encoder->waitForFrames(6, 1s));
  EXPECT_TRUE(encoder->highCoercivity());
  EXPECT_EQ(encoder->track2Density(), 210);
}

TEST_F(EncoderLine, ReadRepliesCarryTheSelectedTracksInBlockOrder) {
  const Card card{"T1AB", "222", "33"};
  const std::string tail = "?" + kFs + kEsc + "rp";
  const struct {
    std::string command;
    std::string block;
  } cases[] = {
      {kEsc + "BM" + kEsc + "j", "BT1AB"},
      {kEsc + "]" + kEsc + "j", "222"},
      {kEsc + "BT" + kEsc + "j", "222BT1AB"},
      {kEsc + "T]" + kEsc + "j", "A33"},
      {kEsc + "B]" + kEsc + "j", "222A33"},
      {kEsc + "Bt" + kEsc + "j", "222A33BT1AB"},
  };
  for (const auto& c : cases) {
    encoder->loadDeck({card});
    EXPECT_EQ(ask(c.command), bytesOf(kEsc + "s" + c.block + tail)) << c.block;
  }
  EXPECT_EQ(encoder->deckSize(), 0u);
}

TEST_F(EncoderLine, FramesSplitAcrossWritesAreAnsweredOnce) {
  encoder->loadDeck({Card{"", "12345", ""}});
  const std::string read = kEsc + "]" + kEsc + "j";
  for (const char c : read) {
    port->write(std::string(1, c));
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(port->readReply(), bytesOf(kEsc + "s12345?" + kFs + kEsc + "rp"));
  EXPECT_EQ(encoder->frames(), std::vector<Bytes>{bytesOf(read)});
}

TEST_F(EncoderLine, SeveralFramesInOneWriteAreAnsweredInOrder) {
  port->write(kEsc + "e" + kEsc + "x" + kEsc + "j" + kEsc + "c" + '\0' + kEsc +
              "e");
  ASSERT_TRUE(encoder->waitForFrames(5, 1s));
  EXPECT_EQ(port->readReply(), bytesOf(kEsc + "y" + kEsc + "rp" + kEsc + "y"));
  EXPECT_EQ(encoder->frames(),
            (std::vector<Bytes>{bytesOf(kEsc + "e"), bytesOf(kEsc + "x"),
                                bytesOf(kEsc + "j"), Bytes{0x1B, 'c', 0x00},
                                bytesOf(kEsc + "e")}));
}

TEST_F(EncoderLine, UnknownBytesNeverSwallowTheNextCommand) {
  // Stray text, ESC 0x00, a read command that breaks off, then a request.
  port->write("zz" + kEsc + std::string(1, '\0') + kEsc + "B" + kEsc + "j");
  EXPECT_EQ(port->readReply(), bytesOf(kEsc + "rp"));
  EXPECT_EQ(encoder->frames(),
            (std::vector<Bytes>{bytesOf("zz"), Bytes{0x1B, 0x00},
                                bytesOf(kEsc + "B"), bytesOf(kEsc + "j")}));
}

TEST_F(EncoderLine, WriteIsAnsweredAndRecorded) {
  const std::string frame = kEsc + "t" + "45" + "A" + "678" + "B" + "A1B" +
                            kGs + kEsc + "\\" + kEsc + "j";
  EXPECT_EQ(ask(frame), bytesOf(kEsc + "rp"));
  const auto written = encoder->writtenCards();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].selection, 7);
  EXPECT_EQ(written[0].card, (Card{"A1B", "45", "678"}));
  EXPECT_TRUE(written[0].succeeded);
  EXPECT_EQ(encoder->frames(), std::vector<Bytes>{bytesOf(frame)});
}

TEST_F(EncoderLine, WriteBlockMayHoldEscapeBytes) {
  const std::string frame =
      kEsc + "t" + "B" + kEsc + "x" + kGs + kEsc + "\\" + kEsc + "j";
  EXPECT_EQ(ask(frame), bytesOf(kEsc + "rp"));
  ASSERT_EQ(encoder->writtenCards().size(), 1u);
  EXPECT_EQ(encoder->writtenCards()[0].card.track1, kEsc + "x");
  EXPECT_TRUE(encoder->highCoercivity());  // the ESC 'x' was data
}

TEST_F(EncoderLine, DeckCardsComeFirstThenTheLastWrittenCard) {
  const std::string readAll = kEsc + "Bt" + kEsc + "j";
  const std::string ok = "?" + kFs + kEsc + "rp";
  EXPECT_EQ(ask(readAll), bytesOf(kEsc + "sAB?" + kFs + kEsc + "rq"))
      << "no card yet: a blank one";

  encoder->loadDeck({Card{"ONE", "1", "11"}, Card{"TWO", "2", "22"}});
  EXPECT_EQ(encoder->deckSize(), 2u);
  EXPECT_EQ(ask(readAll), bytesOf(kEsc + "s1A11BONE" + ok));
  EXPECT_EQ(ask(readAll), bytesOf(kEsc + "s2A22BTWO" + ok));
  EXPECT_EQ(ask(readAll), bytesOf(kEsc + "sAB?" + kFs + kEsc + "rq"))
      << "deck used up, nothing written yet";

  EXPECT_EQ(ask(kEsc + "t" + "9" + kGs + kEsc + "\\" + kEsc + "j"),
            bytesOf(kEsc + "rp"));
  EXPECT_EQ(ask(readAll), bytesOf(kEsc + "s9AB" + ok));
  EXPECT_EQ(ask(readAll), bytesOf(kEsc + "s9AB" + ok)) << "read again";
}

TEST_F(EncoderLine, CardWithoutDataInTheSelectedTracksReadsAsFailure) {
  encoder->loadDeck({Card{"only track 1", "", ""}, Card{"", "", "3"}});
  EXPECT_EQ(ask(kEsc + "]" + kEsc + "j"),
            bytesOf(kEsc + "s?" + kFs + kEsc + "rq"));
  EXPECT_EQ(ask(kEsc + "B]" + kEsc + "j"),
            bytesOf(kEsc + "sA3?" + kFs + kEsc + "rp"));
}

TEST_F(EncoderLine, FailNextAnswersQForReadsAndWrites) {
  encoder->loadDeck({Card{"", "111", ""}, Card{"", "222", ""}});
  encoder->failNext(2);
  const std::string read = kEsc + "]" + kEsc + "j";
  const std::string write = kEsc + "t77" + kGs + kEsc + "\\" + kEsc + "j";
  EXPECT_EQ(ask(read), bytesOf(kEsc + "s111?" + kFs + kEsc + "rq"));
  EXPECT_EQ(ask(write), bytesOf(kEsc + "rq"));
  EXPECT_EQ(ask(write), bytesOf(kEsc + "rp"));
  EXPECT_EQ(ask(read), bytesOf(kEsc + "s222?" + kFs + kEsc + "rp"));

  const auto written = encoder->writtenCards();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_FALSE(written[0].succeeded);
  EXPECT_TRUE(written[1].succeeded);
  EXPECT_EQ(ask(kEsc + "j"), bytesOf(kEsc + "rp"))
      << "a status request never fails";
}

TEST_F(EncoderLine, FailedWriteLeavesTheLastCard) {
  ASSERT_EQ(ask(kEsc + "t" + "good" + kGs + kEsc + "\\" + kEsc + "j"),
            bytesOf(kEsc + "rp"));
  encoder->failNext(1);
  ASSERT_EQ(ask(kEsc + "t" + "bad" + kGs + kEsc + "\\" + kEsc + "j"),
            bytesOf(kEsc + "rq"));
  EXPECT_EQ(ask(kEsc + "]" + kEsc + "j"),
            bytesOf(kEsc + "sgood?" + kFs + kEsc + "rp"));
}

}  // namespace
}  // namespace sim::testing
