// The cards behind the line: erasing, the settings a card is written with,
// the record file and the deck file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "card_files.h"
#include "encoder_test_fixture.h"

namespace sim::testing {
namespace {

namespace fs = std::filesystem;

std::string writeFrame(const std::string& block) {
  return kEsc + "t" + block + kGs + kEsc + "\\" + kEsc + "j";
}

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (fs::temp_directory_path() / "sim_tests_XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  [[nodiscard]] std::string file(const std::string& name) const {
    return (path_ / name).string();
  }

 private:
  fs::path path_;
};

std::vector<std::string> lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST_F(EncoderLine, EraseClearsTracksOfTheLastCard) {
  const std::string readAll = kEsc + "Bt" + kEsc + "j";
  ASSERT_EQ(ask(writeFrame("22A33B11")), bytesOf(kEsc + "rp"));
  port->write(kEsc + "c" + "\x04");  // tracks 1 and 2
  ASSERT_TRUE(encoder->waitForFrames(2, 1s));
  EXPECT_TRUE(port->readAll(100ms).empty()) << "erase is not answered";
  EXPECT_EQ(ask(readAll), bytesOf(kEsc + "sA33B?" + kFs + kEsc + "rp"));

  port->write(kEsc + "c" + "\x03");  // track 3: nothing left
  EXPECT_EQ(ask(readAll), bytesOf(kEsc + "sAB?" + kFs + kEsc + "rq"));
}

TEST_F(EncoderLine, AWrittenCardIsReadBackFirstWhenAsked) {
  SimulatedEncoder::Options options;
  options.readBackWritten = true;
  startEncoder(options);
  encoder->loadDeck({Card{"DECK", "1", "2"}});
  const std::string readAll = kEsc + "Bt" + kEsc + "j";
  ASSERT_EQ(ask(writeFrame("9A8BNEW")), bytesOf(kEsc + "rp"));
  EXPECT_EQ(ask(readAll), bytesOf(kEsc + "s9A8BNEW?" + kFs + kEsc + "rp"));
  EXPECT_EQ(ask(readAll), bytesOf(kEsc + "s1A2BDECK?" + kFs + kEsc + "rp"));
}

TEST_F(EncoderLine, EraseTakesTheFrontCardOfTheDeck) {
  encoder->loadDeck({Card{"one", "2", "3"}});
  port->write(kEsc + "c" + "\x05");  // tracks 1 and 3
  ASSERT_TRUE(encoder->waitForFrames(1, 1s));
  EXPECT_EQ(encoder->deckSize(), 0u);
  EXPECT_EQ(ask(kEsc + "Bt" + kEsc + "j"),
            bytesOf(kEsc + "s2AB?" + kFs + kEsc + "rp"));
}

TEST_F(EncoderLine, EraseCodesOutsideTheTableDoNothing) {
  encoder->setSwipeDelay(std::nullopt);
  port->write(kEsc + "c" + std::string(1, '\0') + kEsc + "c" + "\x08");
  ASSERT_TRUE(encoder->waitForFrames(2, 1s));
  EXPECT_FALSE(encoder->waitingForSwipe());
}

TEST_F(EncoderLine, WrittenCardsKeepCoercivityAndDensity) {
  port->write(kEsc + "y" + kEsc + "L");
  ASSERT_EQ(ask(writeFrame("A3")), bytesOf(kEsc + "rp"));
  port->write(kEsc + "x" + kEsc + "H");
  ASSERT_EQ(ask(writeFrame("2B1")), bytesOf(kEsc + "rp"));

  const auto written = encoder->writtenCards();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0].selection, 4);
  EXPECT_EQ(written[0].card, (Card{"", "", "3"}));
  EXPECT_FALSE(written[0].highCoercivity);
  EXPECT_EQ(written[0].track2Density, 75);
  EXPECT_EQ(written[1].selection, 3);
  EXPECT_EQ(written[1].card, (Card{"1", "2", ""}));
  EXPECT_TRUE(written[1].highCoercivity);
  EXPECT_EQ(written[1].track2Density, 210);
}

TEST_F(EncoderLine, CorruptedWriteIsConfirmedButReadsBackChanged) {
  const std::string readTrack2 = kEsc + "]" + kEsc + "j";
  encoder->corruptWrite(2);
  ASSERT_EQ(ask(writeFrame("1230")), bytesOf(kEsc + "rp"));
  EXPECT_EQ(ask(readTrack2), bytesOf(kEsc + "s1230?" + kFs + kEsc + "rp"));
  ASSERT_EQ(ask(writeFrame("1230")), bytesOf(kEsc + "rp"));  // the 2nd write
  EXPECT_EQ(ask(readTrack2), bytesOf(kEsc + "s1231?" + kFs + kEsc + "rp"));
  ASSERT_EQ(ask(writeFrame("A55B")), bytesOf(kEsc + "rp"));  // track 2 empty
  ASSERT_EQ(encoder->writtenCards().size(), 3u);
  EXPECT_EQ(encoder->writtenCards()[1].card.track2, "1231");
  EXPECT_EQ(encoder->writtenCards()[2].card.track3, "55");
}

TEST_F(EncoderLine, RecordFileHoldsOneEscapedJsonObjectPerWrite) {
  TempDir dir;
  const std::string path = dir.file("written.jsonl");
  encoder->setWriteRecordFile(path);
  port->write(kEsc + "y");
  ASSERT_EQ(ask(writeFrame("q\"\x01"
                           "A\\\xe9"
                           "B%B^")),
            bytesOf(kEsc + "rp"));
  encoder->failNext(1);
  port->write(kEsc + "L");
  ASSERT_EQ(ask(writeFrame("")), bytesOf(kEsc + "rq"));

  EXPECT_EQ(lines(path),
            (std::vector<std::string>{
                "{\"selection\":7,\"track1\":\"%B^\",\"track2\":"
                "\"q\\\"\\u0001\",\"track3\":\"\\\\\\u00e9\","
                "\"coercivity\":\"low\",\"density\":210,\"status\":\"p\"}",
                "{\"selection\":2,\"track1\":\"\",\"track2\":\"\",\"track3\":"
                "\"\",\"coercivity\":\"low\",\"density\":75,\"status\":"
                "\"q\"}"}));
}

TEST_F(EncoderLine, UnwritableRecordFileDoesNotStopTheWrite) {
  TempDir dir;
  encoder->setWriteRecordFile(dir.file("missing/dir/written.jsonl"));
  EXPECT_EQ(ask(writeFrame("5")), bytesOf(kEsc + "rp"));
  EXPECT_EQ(encoder->writtenCards().size(), 1u);
  EXPECT_NE(encoder->errorText().find("written.jsonl"), std::string::npos);
}

TEST(DeckFile, OneCardPerLineWithMissingFieldsEmpty) {
  TempDir dir;
  const std::string path = dir.file("deck.txt");
  std::ofstream(path, std::ios::binary) << "%T1^|22|33\r\n"
                                        << "only1\n"
                                        << "|2\n"
                                        << "\n"
                                        << "a|b|c|d";
  SimulatedEncoder encoder;
  ASSERT_TRUE(encoder.loadDeckFile(path));
  EXPECT_EQ(encoder.deckSize(), 5u);
  EXPECT_EQ(
      readDeckFile(path),
      (std::vector<Card>{Card{"%T1^", "22", "33"}, Card{"only1", "", ""},
                         Card{"", "2", ""}, Card{}, Card{"a", "b", "c|d"}}));
}

TEST(DeckFile, MissingFileLeavesTheDeckAlone) {
  TempDir dir;
  SimulatedEncoder encoder;
  encoder.loadDeck({Card{"1", "2", "3"}});
  EXPECT_FALSE(encoder.loadDeckFile(dir.file("no-such-deck.txt")));
  EXPECT_EQ(encoder.deckSize(), 1u);
  EXPECT_NE(encoder.errorText().find("no-such-deck.txt"), std::string::npos);
}

TEST(JsonString, EscapesQuotesControlsAndHighBytes) {
  EXPECT_EQ(jsonString("plain ~"), "\"plain ~\"");
  EXPECT_EQ(jsonString("\"\\/"), "\"\\\"\\\\/\"");
  EXPECT_EQ(jsonString("\n\r\t\x1b\x7f"), "\"\\n\\r\\t\\u001b\\u007f\"");
  EXPECT_EQ(jsonString(std::string("\0\x80\xff", 3)),
            "\"\\u0000\\u0080\\u00ff\"");
}

}  // namespace
}  // namespace sim::testing
