// Reading cards: the command of each selection, the tracks taken apart
// into the caller's buffers, and replies that are not what they should be.
#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "device_fixture.h"

namespace quillon_test {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kBufferSize = 400;
constexpr char kUntouched = '\x5A';

// A caller's buffer of exactly 400 bytes on the heap, so that the address
// sanitizer sees any byte stored past it.
struct TrackBuffer {
  TrackBuffer() : bytes(new char[kBufferSize]) { clear(); }
  void clear() { std::fill_n(bytes.get(), kBufferSize, '\0'); }
  void mark() { std::fill_n(bytes.get(), kBufferSize, kUntouched); }
  [[nodiscard]] std::string text() const { return bytes.get(); }
  [[nodiscard]] bool untouched() const {
    return std::all_of(bytes.get(), bytes.get() + kBufferSize,
                       [](char c) { return c == kUntouched; });
  }
  char* get() { return bytes.get(); }
  std::unique_ptr<char[]> bytes;
};

class ReadCardTest : public EncoderDeviceTest {
 protected:
  int read(int selection) {
    return device.ReadCard(selection, t1.get(), t2.get(), t3.get());
  }
  TrackBuffer t1, t2, t3;
};

struct ReadCase {
  int selection;
  Bytes command;
};

TEST_F(ReadCardTest, EachSelectionSendsItsCommandAndFillsOnlyItsTracks) {
  // Track 1 holds both separators: only the ones in front of it count.
  const sim::Card card{"%AB^JOHN BA", "1234567890", "0123456789"};
  const ReadCase cases[] = {
      {1, frame({0x1B, 0x42, 0x4D, 0x1B, 0x6A})},
      {2, frame({0x1B, 0x5D, 0x1B, 0x6A})},
      {3, frame({0x1B, 0x42, 0x54, 0x1B, 0x6A})},
      {4, frame({0x1B, 0x54, 0x5D, 0x1B, 0x6A})},
      {6, frame({0x1B, 0x42, 0x5D, 0x1B, 0x6A})},
      {7, frame({0x1B, 0x42, 0x74, 0x1B, 0x6A})},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE("selection " + std::to_string(c.selection));
    encoder.clearReceived();
    encoder.loadDeck({card});
    for (TrackBuffer* b : {&t1, &t2, &t3}) b->mark();
    ASSERT_EQ(read(c.selection), 0);
    EXPECT_EQ(encoder.received(), c.command);
    const TrackBuffer* buffers[] = {&t1, &t2, &t3};
    const std::string texts[] = {card.track1, card.track2, card.track3};
    for (int track = 0; track < 3; ++track) {
      const TrackBuffer& b = *buffers[track];
      if ((c.selection & (1 << track)) == 0) {
        EXPECT_TRUE(b.untouched()) << "track " << track + 1;
        continue;
      }
      // Copied without a terminator: the mark shows right behind it.
      EXPECT_EQ(std::string(b.bytes.get(), texts[track].size()), texts[track]);
      EXPECT_EQ(b.bytes[texts[track].size()], kUntouched);
    }
  }
}

TEST_F(ReadCardTest, TracksOneAndThreeTogetherCannotBeRead) {
  for (int selection : {5, 0, 8, -1, 263}) {
    SCOPED_TRACE(selection);
    t1.mark();
    t3.mark();
    EXPECT_EQ(read(selection), -4);
    EXPECT_TRUE(t1.untouched());
  }
  EXPECT_TRUE(receivedAfterPause().empty()) << "nothing is sent";
}

TEST_F(ReadCardTest, OnlySelectedTracksNeedABuffer) {
  encoder.loadDeck({{"ONE", "22", "333"}});
  EXPECT_EQ(device.ReadCard(2, nullptr, t2.get(), nullptr), 0);
  EXPECT_EQ(t2.text(), "22");

  EXPECT_EQ(device.ReadCard(3, nullptr, t2.get(), t3.get()), -4);
  EXPECT_EQ(device.ReadCard(6, t1.get(), t2.get(), nullptr), -4);
  EXPECT_EQ(device.ReadCard(7, t1.get(), nullptr, t3.get()), -4);
  EXPECT_EQ(receivedAfterPause(), frame({0x1B, 0x5D, 0x1B, 0x6A}))
      << "only the first read was sent";
}

TEST_F(ReadCardTest, FailedReadChangesNoBuffer) {
  for (int selection : {1, 2, 3, 4, 6, 7}) {
    SCOPED_TRACE(selection);
    encoder.loadDeck({{"ONE", "22", "333"}});
    encoder.failNext(1);
    for (TrackBuffer* b : {&t1, &t2, &t3}) b->mark();
    EXPECT_EQ(read(selection), -5);
    EXPECT_TRUE(t1.untouched() && t2.untouched() && t3.untouched());
  }
  // A reply cut off before its status byte has not succeeded either.
  encoder.replaceNextReply(bytesOf("\x1bs123?\x1c\x1br"));
  t2.mark();
  EXPECT_EQ(read(2), -5);
  EXPECT_TRUE(t2.untouched());
}

TEST_F(ReadCardTest, ReplyCutByALongPauseIsAFailedRead) {
  encoder.loadDeck({{"ONE", "22", "333"}});
  encoder.splitNextReply({4}, 200ms);
  t2.mark();
  EXPECT_EQ(read(2), -5);
  EXPECT_TRUE(t2.untouched());
  std::this_thread::sleep_for(250ms);  // the rest arrives, to be dropped

  encoder.loadDeck({{"ONE", "22", "333"}});
  encoder.splitNextReply({2, 3, 2}, 30ms);
  t1.clear();
  t2.clear();
  t3.clear();
  EXPECT_EQ(read(7), 0);
  EXPECT_EQ(t1.text(), "ONE");
  EXPECT_EQ(t2.text(), "22");
  EXPECT_EQ(t3.text(), "333");
}

struct MalformedCase {
  const char* what;
  int selection;
  std::string reply;
  int status;  // -5: the reply is not whole, and no buffer is touched
  std::string track1, track2, track3;
};

// Whatever the encoder sends, no track is taken from before the block or
// past the reply, and the buffers are never overrun. Only a whole reply
// (ESC 's' first, '?' FS ESC 'r' and the status last) is taken apart.
TEST_F(ReadCardTest, MalformedRepliesNeverReachOutsideTheReply) {
  const std::string s = "\x1bs";
  const std::string end = "\x1c\x1brp";
  const MalformedCase cases[] = {
      {"no '?': the block runs to the end", 2, s + "1234" + end, -5, "", "",
       ""},
      {"'?' in the header", 7, "?s12A34B56" + end, -5, "", "", ""},
      {"'?' first in the block", 7, s + "?12A34B56" + end, -5, "", "", ""},
      {"separators before the data", 7, s + "BA12?" + end, 0, "", "B", "12"},
      {"no separators", 7, s + "123?" + end, 0, "", "123", ""},
      {"'B' only", 3, s + "B?" + end, 0, "", "", ""},
      {"'A' only in a selection that wants both", 7, s + "1A2?" + end, 0, "",
       "1", "2"},
      {"separator after '?'", 6, s + "12?A34" + end, -5, "", "", ""},
      {"too short for a separator", 1, "\x1brp", -5, "", "", ""},
      {"only the status byte", 4, "p", -5, "", "", ""},
  };
  for (const MalformedCase& c : cases) {
    SCOPED_TRACE(c.what);
    encoder.replaceNextReply(bytesOf(c.reply));
    for (TrackBuffer* b : {&t1, &t2, &t3}) {
      if (c.status == 0)
        b->clear();
      else
        b->mark();
    }
    ASSERT_EQ(read(c.selection), c.status);
    if (c.status != 0) {
      EXPECT_TRUE(t1.untouched() && t2.untouched() && t3.untouched());
      continue;
    }
    EXPECT_EQ(t1.text(), c.track1);
    EXPECT_EQ(t2.text(), c.track2);
    EXPECT_EQ(t3.text(), c.track3);
  }
}

TEST_F(ReadCardTest, FullSizeReplyFitsTheBuffers) {
  // 400 bytes, the longest whole reply: ESC 's', 393 data bytes, '?', FS,
  // ESC 'r', 'p'.
  const std::string data(393, '7');
  const std::string reply = "\x1bs" + data + "?\x1c\x1brp";
  ASSERT_EQ(reply.size(), kBufferSize);
  encoder.replaceNextReply(bytesOf(reply));
  t2.mark();
  EXPECT_EQ(read(2), 0);
  EXPECT_EQ(std::string(t2.get(), 393), data);
  EXPECT_EQ(t2.get()[393], kUntouched);

  encoder.replaceNextReply(bytesOf(reply));
  t1.mark();
  EXPECT_EQ(read(1), 0);
  EXPECT_EQ(std::string(t1.get(), 392), data.substr(1));
  EXPECT_EQ(t1.get()[392], kUntouched);

  // Longer than a read takes: the 400th byte is not 'p', so it failed.
  t3.mark();
  encoder.replaceNextReply(
      bytesOf("\x1bs" + std::string(440, '7') + "?\x1c\x1brp"));
  EXPECT_EQ(read(4), -5);
  EXPECT_TRUE(t3.untouched());
}

TEST_F(ReadCardTest, BlankCardReadsAsAFailure) { EXPECT_EQ(read(7), -5); }

}  // namespace
}  // namespace quillon_test
