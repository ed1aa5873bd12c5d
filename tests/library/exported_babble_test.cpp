// The exported read against an encoder that babbles: noise, a reply in
// one-byte events, status letters inside track data, no FS, a reply ten
// times the largest. Every read must end by its own rules (400 bytes, the
// pause, the timeout) with a status the library documents, and write no
// byte past a caller's 400-byte buffer (the Sanitize build is the judge).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <string>

#include "bytes_of.h"
#include "com_port_path.h"
#include "quillon.h"
#include "simulated_encoder.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using quillon_test::bytesOf;

constexpr std::size_t kBufferSize = 400;
constexpr char kMark = '\x5A';
constexpr int kPort = 9;

// A caller's buffer of exactly 400 bytes on the heap, so that the address
// sanitizer sees a byte stored past it.
struct TrackBuffer {
  TrackBuffer() : bytes(new char[kBufferSize]) { mark(); }
  void mark() { std::fill_n(bytes.get(), kBufferSize, kMark); }
  [[nodiscard]] std::string text() const {
    const char* begin = bytes.get();
    return std::string(begin, std::find(begin, begin + kBufferSize, kMark));
  }
  std::unique_ptr<char[]> bytes;
};

sim::Bytes noise(std::size_t size) {
  std::mt19937 random(10);
  sim::Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

const sim::Card kCard{"REAL CARD", "1234", "567"};

struct BabbleCase {
  const char* name;
  std::function<void(sim::SimulatedEncoder&)> script;
  sim::Card deck;
  /// The first read's status and tracks; empty tracks: none touched.
  int firstStatus;
  sim::Card firstTracks;
};

// Shown as its name: the test names of the cases stay readable and the
// same from build to build.
void PrintTo(const BabbleCase& c, std::ostream* out) { *out << c.name; }

class ExportedBabble : public ::testing::TestWithParam<BabbleCase> {};

TEST_P(ExportedBabble, EveryReadEndsByItsRulesAndTheCardComesThrough) {
  const BabbleCase& c = GetParam();
  sim::SimulatedEncoder encoder;
  ASSERT_TRUE(encoder.start()) << encoder.errorText();
  encoder.loadDeck(std::vector<sim::Card>(2000, c.deck));
  c.script(encoder);
  setenv(portmap::overrideVariable(kPort).c_str(), encoder.slavePath().c_str(),
         1);
  ASSERT_EQ(gOpenSerialPort(kPort, 9600), QUILLON_OK);

  TrackBuffer t1, t2, t3;
  const auto read = [&] {
    for (TrackBuffer* b : {&t1, &t2, &t3}) b->mark();
    const auto start = Clock::now();
    const int status =
        gMSRReadCard(7, t1.bytes.get(), t2.bytes.get(), t3.bytes.get());
    // The longest a read may take by its rules: 11 s without a reply.
    EXPECT_LT(Clock::now() - start, 12s);
    return status;
  };
  const int first = read();
  EXPECT_EQ(first, c.firstStatus);
  EXPECT_EQ((sim::Card{t1.text(), t2.text(), t3.text()}), c.firstTracks);

  // The babble ends, and the deck's card is read whole: reads go on,
  // each with a status of its own, until it comes.
  int reads = 1;
  for (int status = first;
       status != QUILLON_OK ||
       (sim::Card{t1.text(), t2.text(), t3.text()}) != c.deck;
       ++reads) {
    ASSERT_LT(reads, 5000) << "the babble never ended";
    status = read();
    EXPECT_TRUE(status == QUILLON_OK || status == QUILLON_ERR_DEVICE) << status;
  }
  EXPECT_EQ(gCloseSerialCom(), QUILLON_OK);
  encoder.stop();
}

const std::string kTail = "?\x1C\x1Brp";

INSTANTIATE_TEST_SUITE_P(
    Replies, ExportedBabble,
    ::testing::Values(
        // 400 bytes of the megabyte: a status byte of chance ('p' or not),
        // the block taken apart where it falls.
        BabbleCase{"OneMegabyteOfNoise",
                   [](auto& e) { e.replaceNextReply(noise(1 << 20)); },
                   kCard,
                   QUILLON_ERR_DEVICE,
                   {}},
        BabbleCase{"OneByteEventsFiveMsApart",
                   [](auto& e) {
                     e.splitNextReply(std::vector<std::size_t>(4000, 1), 5ms);
                   },
                   kCard, QUILLON_OK, kCard},
        // A gap longer than the pause ends the read after its first byte.
        BabbleCase{"OneByteEventsPastThePause",
                   [](auto& e) {
                     e.splitNextReply(std::vector<std::size_t>(4000, 1), 100ms);
                   },
                   kCard,
                   QUILLON_ERR_DEVICE,
                   {}},
        BabbleCase{"StatusLettersInTrackData",
                   [](auto&) {},
                   {"r p q", "1r2p3q", "4r5q"},
                   QUILLON_OK,
                   {"r p q", "1r2p3q", "4r5q"}},
        // Only a whole reply is a card, as for every reader of replies:
        // without FS, or with a byte in front of its header, it is not.
        BabbleCase{"NoFs",
                   [](auto& e) {
                     e.replaceNextReply(bytesOf("\x1Bs123ABNO FS?\x1Brp"));
                   },
                   kCard,
                   QUILLON_ERR_DEVICE,
                   {}},
        BabbleCase{"AByteInFrontOfTheHeader",
                   [](auto& e) {
                     e.replaceNextReply(bytesOf("Z\x1Bs12345?\x1C\x1Brp"));
                   },
                   kCard,
                   QUILLON_ERR_DEVICE,
                   {}},
        BabbleCase{"TenTimesTheLargestReply",
                   [](auto& e) {
                     e.replaceNextReply(
                         bytesOf("\x1Bs" + std::string(3990, 'X') + kTail));
                   },
                   kCard,
                   QUILLON_ERR_DEVICE,
                   {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
