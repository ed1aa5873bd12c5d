// Writing cards: the frame of each selection, the status answer, and
// texts that are refused before anything is sent.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "device_fixture.h"

namespace quillon_test {
namespace {

struct WriteCase {
  int selection;
  std::string frame;  // between ESC 't' and GS ESC '\' ESC 'j'
};

TEST_F(EncoderDeviceTest, EachSelectionWritesItsTrackBlock) {
  const WriteCase cases[] = {
      {1, "BONE"},     {2, "22"},     {3, "22BONE"},     {4, "A333"},
      {5, "A333BONE"}, {6, "22A333"}, {7, "22A333BONE"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.selection);
    encoder.clearReceived();
    EXPECT_EQ(device.WriteCard(c.selection, "ONE", "22", "333"), 0);
    EXPECT_EQ(encoder.received(), frame({0x1B, 0x74}) + bytesOf(c.frame) +
                                      frame({0x1D, 0x1B, 0x5C, 0x1B, 0x6A}));
  }
}

TEST_F(EncoderDeviceTest, WriteOfTracksOneAndThreeMatchesTheKnownBytes) {
  EXPECT_EQ(device.WriteCard(5, "123", "", "45"), 0);
  EXPECT_EQ(encoder.received(),
            frame({0x1B, 0x74, 0x41, 0x34, 0x35, 0x42, 0x31, 0x32, 0x33, 0x1D,
                   0x1B, 0x5C, 0x1B, 0x6A}));
}

TEST_F(EncoderDeviceTest, EmptyTextsStillBringTheirSeparators) {
  EXPECT_EQ(device.WriteCard(7, "", "", ""), 0);
  EXPECT_EQ(encoder.received(), bytesOf("\x1btAB\x1d\x1b\\\x1bj"));
}

TEST_F(EncoderDeviceTest, SelectionOutsideTheRangeSendsTheStatusRequest) {
  EXPECT_EQ(device.WriteCard(0, "ONE", "22", "333"), 0);
  EXPECT_EQ(encoder.received(), frame({0x1B, 0x6A}));
  encoder.clearReceived();
  encoder.replaceNextReply(bytesOf("\x1brq"));
  EXPECT_EQ(device.WriteCard(8, "", "", ""), -5);
  EXPECT_EQ(encoder.received(), frame({0x1B, 0x6A}));
}

TEST_F(EncoderDeviceTest, WriteReportsTheStatusAnswer) {
  encoder.failNext(1);
  EXPECT_EQ(device.WriteCard(2, "", "123", ""), -5);
  encoder.replaceNextReply(bytesOf("\x1bxy"));
  EXPECT_EQ(device.WriteCard(2, "", "123", ""), -2) << "no 'r'";
  encoder.replaceNextReply(bytesOf("\x1br"));
  EXPECT_EQ(device.WriteCard(2, "", "123", ""), -2) << "'r' last";
  encoder.replaceNextReply(bytesOf("rz"));
  EXPECT_EQ(device.WriteCard(2, "", "123", ""), -2);
  EXPECT_EQ(device.WriteCard(2, "", "123", ""), 0);
  ASSERT_FALSE(encoder.writtenCards().empty());
  EXPECT_EQ(encoder.writtenCards().back().card.track2, "123");
}

// A wait that ends at the answer's last byte has no pause to show what
// follows it: an answer the line repeats right behind itself would answer
// the next card's frame. (replies, whether the answer counts)
TEST_F(EncoderDeviceTest, AnAnswerEndedAtItsLastByteMustStandAlone) {
  using namespace std::chrono_literals;
  device.setWaitOptions({-1, true, {}, {}});
  const struct {
    const char* why;
    std::vector<std::size_t> bursts;
    int expected;
  } rows[] = {
      {"alone", {3}, 0},
      {"repeated right behind", {3, 3}, -2},
      {"one byte right behind", {3, 1}, -2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    std::size_t size = 0;
    for (const std::size_t burst : row.bursts) size += burst;
    encoder.replaceNextReply(
        bytesOf(std::string("\x1brp\x1brp").substr(0, size)));
    encoder.splitNextReply(row.bursts, 0ms);
    EXPECT_EQ(device.WriteCard(2, "", "123", ""), row.expected);
  }
}

TEST_F(EncoderDeviceTest, TextsUpToTheLimitsAreWritten) {
  const std::string t1(199, 'X'), t2(129, '2'), t3(149, '3');
  EXPECT_EQ(device.WriteCard(7, t1.c_str(), t2.c_str(), t3.c_str()), 0);
  EXPECT_EQ(encoder.received(),
            bytesOf("\x1bt" + t2 + "A" + t3 + "B" + t1 + "\x1d\x1b\\\x1bj"));
}

TEST_F(EncoderDeviceTest, OverLongOrMissingTextsAreRefusedUnsent) {
  const std::string ok = "1";
  const std::string long1(200, 'X'), long2(130, '2'), long3(150, '3');
  EXPECT_EQ(device.WriteCard(7, long1.c_str(), ok.c_str(), ok.c_str()), -3);
  EXPECT_EQ(device.WriteCard(7, ok.c_str(), long2.c_str(), ok.c_str()), -3);
  EXPECT_EQ(device.WriteCard(7, ok.c_str(), ok.c_str(), long3.c_str()), -3);
  // Every text is taken whatever the selection.
  EXPECT_EQ(device.WriteCard(2, long1.c_str(), ok.c_str(), ok.c_str()), -3);
  EXPECT_EQ(device.WriteCard(2, nullptr, ok.c_str(), ok.c_str()), -3);
  EXPECT_EQ(device.WriteCard(1, ok.c_str(), nullptr, ok.c_str()), -3);
  EXPECT_EQ(device.WriteCard(1, ok.c_str(), ok.c_str(), nullptr), -3);
  EXPECT_TRUE(receivedAfterPause().empty());
}

// Once the frame is out, nothing but the encoder's answer decides the
// write: a host that took "nothing was sent" would write the number again.
// Here the Escape key's X probe cannot start its thread (the process is at
// its thread limit) as the wait for the answer begins.
TEST_F(EncoderDeviceTest, AWriteWhoseKeyProbeCannotStartReportsTheAnswer) {
  if (::geteuid() == 0) {
    // The "nonroot" test runs this as an ordinary user: it must not skip.
    if (std::getenv("QUILLON_UNPRIVILEGED_RUN") != nullptr)
      FAIL() << "still root";
    GTEST_SKIP() << "root is not held to a thread limit";
  }
  device.Close();
  const pid_t child = ::fork();
  if (child == 0) {
    // A display whose probe needs a thread; no thread may start.
    ::setenv("DISPLAY", ":4093", 1);
    const rlimit none{0, 0};
    int code = 100;
    if (::setrlimit(RLIMIT_NPROC, &none) == 0) {
      try {
        quillon::EncoderDevice machine;  // the machine's keyboard, as exported
        if (machine.Open(encoder.slavePath(), 9600) == QUILLON_OK)
          code = -machine.WriteCard(2, "", "7001", "");
        // Its close has no thread to drain on either: the port is let go
        // all the same, so that it can be opened again.
        machine.Close();
        quillon::EncoderDevice again;
        if (again.Open(encoder.slavePath(), 9600) != QUILLON_OK) code = 98;
      } catch (...) {
        code = 99;  // the call failed after its frame was out
      }
    }
    ::_exit(code);
  }
  ASSERT_GT(child, 0);
  int waited = 0;
  ASSERT_EQ(::waitpid(child, &waited, 0), child);
  ASSERT_TRUE(WIFEXITED(waited));
  EXPECT_EQ(WEXITSTATUS(waited), 0)
      << "minus the status, 99 thrown, 98 the port held after its close";
  ASSERT_EQ(encoder.writtenCards().size(), 1U);
  EXPECT_EQ(encoder.writtenCards()[0].card.track2, "7001");
}

}  // namespace
}  // namespace quillon_test
