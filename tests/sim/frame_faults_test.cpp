// The fault schedule of quillon-encoder-sim --faults: its lines, and each fault on
// the line when its frame arrives.
#include "frame_faults.h"

#include <gtest/gtest.h>

#include <variant>

#include "encoder_test_fixture.h"

namespace sim::testing {
namespace {

using Kind = FrameFault::Kind;
using Clock = std::chrono::steady_clock;

TEST(FrameFaultSchedule, LinesBecomeFaultsOrNameTheBadLine) {
  struct Row {
    const char* text;
    std::vector<FrameFault> faults;
    const char* message;  // empty: parsed
  };
  const Row rows[] = {
      {"3 cut 1 150\n# note\n\n7 late 400  # comment\n",
       {{3, Kind::Cut, 1, 150}, {7, Kind::Late, 0, 400}},
       ""},
      {"1 twice 20\n2 noise 9\n5 hangup",
       {{1, Kind::Twice, 0, 20},
        {2, Kind::Noise, 9, 0},
        {5, Kind::Hangup, 0, 0}},
       ""},
      {"0 hangup\n", {}, "line 1: not a frame number: 0"},
      {"2 late\n", {}, "line 1: late takes 1 numbers"},
      {"1 late 5\n2 cut 1 -4\n", {}, "line 2: not a number: -4"},
      {"4 melt 1\n", {}, "line 1: no fault named melt"},
  };
  for (const Row& row : rows) {
    const auto parsed = parseFrameFaults(row.text);
    if (*row.message == '\0') {
      ASSERT_TRUE(std::holds_alternative<std::vector<FrameFault>>(parsed))
          << row.text << std::get<std::string>(parsed);
      const auto& faults = std::get<std::vector<FrameFault>>(parsed);
      ASSERT_EQ(faults.size(), row.faults.size()) << row.text;
      for (std::size_t i = 0; i < faults.size(); ++i) {
        EXPECT_EQ(faults[i].frame, row.faults[i].frame) << row.text;
        EXPECT_EQ(faults[i].kind, row.faults[i].kind) << row.text;
        EXPECT_EQ(faults[i].count, row.faults[i].count) << row.text;
        EXPECT_EQ(faults[i].ms, row.faults[i].ms) << row.text;
      }
    } else {
      ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << row.text;
      EXPECT_EQ(std::get<std::string>(parsed), row.message);
    }
  }
}

// Each fault is set off by the second frame (the first is answered as
// usual); the status request's answer ESC r p is what it changes.
TEST_F(EncoderLine, EachFaultStrikesTheReplyAfterItsFrame) {
  const Bytes status = bytesOf(kEsc + "rp");
  Bytes twice = status;
  twice.insert(twice.end(), status.begin(), status.end());
  Bytes noisy = noiseBytes(2, 5);
  noisy.insert(noisy.end(), status.begin(), status.end());
  struct Row {
    FrameFault fault;
    Bytes bytes;                        // all that arrives for the second frame
    std::chrono::milliseconds atLeast;  // from the frame to the last byte
    std::size_t bursts;
  };
  const Row rows[] = {
      {{2, Kind::Cut, 1, 150}, status, 130ms, 2},
      {{2, Kind::Late, 0, 200}, status, 180ms, 1},
      {{2, Kind::Twice, 0, 120}, twice, 100ms, 2},
      {{2, Kind::Noise, 5, 0}, noisy, 0ms, 1},
  };
  for (const Row& row : rows) {
    startEncoder(SimulatedEncoder::Options{});
    encoder->scheduleFault(row.fault);
    EXPECT_EQ(ask(kEsc + "j"), status);
    const auto sent = Clock::now();
    port->write(kEsc + "j");
    const auto arrivals = port->readFor(500ms);
    Bytes all;
    for (const auto& a : arrivals)
      all.insert(all.end(), a.bytes.begin(), a.bytes.end());
    EXPECT_EQ(all, row.bytes) << static_cast<int>(row.fault.kind);
    ASSERT_FALSE(arrivals.empty());
    EXPECT_GE(arrivals.back().at - sent, row.atLeast);
    if (row.atLeast > 0ms) {
      EXPECT_EQ(arrivals.size(), row.bursts);
    }
  }
}

}  // namespace
}  // namespace sim::testing
