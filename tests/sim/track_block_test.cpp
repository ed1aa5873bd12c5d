// Track blocks: what a write frame's block says was written, and erasing.
#include "track_block.h"

#include <gtest/gtest.h>

#include <string>

#include "bytes_of.h"
#include "encoder_protocol.h"

namespace sim {
namespace {

WriteBlock split(const std::string& block) {
  return splitWriteBlock(quillon_test::bytesOf(block));
}

TEST(SplitWriteBlock, SeparatorsTellTheSelection) {
  const struct {
    std::string block;
    int selection;
    Card card;
  } cases[] = {
      {"", 2, {"", "", ""}},          {"45", 2, {"", "45", ""}},
      {"B1A", 1, {"1A", "", ""}},     {"A3", 4, {"", "", "3"}},
      {"A3B1", 5, {"1", "", "3"}},    {"2A3", 6, {"", "2", "3"}},
      {"2B1AB", 3, {"1AB", "2", ""}}, {"2A3B1B", 7, {"1B", "2", "3"}},
      {"AB", 5, {"", "", ""}},        {"2AB", 7, {"", "2", ""}},
  };
  for (const auto& c : cases) {
    const WriteBlock got = split(c.block);
    EXPECT_EQ(got.selection, c.selection) << c.block;
    EXPECT_EQ(got.card, c.card) << c.block;
  }
}

TEST(SplitWriteBlock, TakesBackWhatAWriteFrameCarries) {
  const Card card{"%B12^AB", "1234", "999"};
  for (int selection = 1; selection <= 7; ++selection) {
    const Bytes frame =
        protocol::writeFrame(selection, card.track1, card.track2, card.track3);
    // The block sits between ESC 't' and GS ESC '\' ESC 'j'.
    const Bytes block(frame.begin() + 2, frame.end() - 5);
    EXPECT_EQ(block, trackBlock(selection, card)) << selection;
    const WriteBlock got = splitWriteBlock(block);
    EXPECT_EQ(got.selection, selection);
    Card expected;
    if (selection & 1) expected.track1 = card.track1;
    if (selection & 2) expected.track2 = card.track2;
    if (selection & 4) expected.track3 = card.track3;
    EXPECT_EQ(got.card, expected) << selection;
  }
}

TEST(EraseTracks, CodesNameTheirOwnCombinations) {
  const Card full{"1", "2", "3"};
  EXPECT_EQ(eraseTracks(full, 1), (Card{"", "2", "3"}));
  EXPECT_EQ(eraseTracks(full, 2), (Card{"1", "", "3"}));
  EXPECT_EQ(eraseTracks(full, 3), (Card{"1", "2", ""}));
  EXPECT_EQ(eraseTracks(full, 4), (Card{"", "", "3"}));
  EXPECT_EQ(eraseTracks(full, 5), (Card{"", "2", ""}));
  EXPECT_EQ(eraseTracks(full, 6), (Card{"1", "", ""}));
  EXPECT_EQ(eraseTracks(full, 7), (Card{}));
  EXPECT_EQ(eraseTracks(full, 0), full);
  EXPECT_FALSE(isValidEraseCode(0));
  EXPECT_FALSE(isValidEraseCode(8));
  EXPECT_TRUE(isValidEraseCode(7));
}

TEST(SelectedTracksEmpty, OnlyTheSelectedTracksCount) {
  const Card onlyTrack1{"x", "", ""};
  EXPECT_TRUE(selectedTracksEmpty(6, onlyTrack1));
  EXPECT_FALSE(selectedTracksEmpty(1, onlyTrack1));
  EXPECT_FALSE(selectedTracksEmpty(7, onlyTrack1));
}

}  // namespace
}  // namespace sim
