// The serial transport against a pseudo-terminal whose master side the
// test drives: line settings, exclusivity, exact bytes, stale input,
// the pause that ends a reply, the 400-byte cap and a line that is lost.
#include "quillon/core/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "fake_keyboard_probe.h"
#include "pty_pair.h"
#include "quillon/core/serial_line_speed.h"
#include "recording_terminal_calls.h"

namespace {

using namespace std::chrono_literals;
using quillon::SerialPort;
using quillon_test::Bytes;
using quillon_test::bytesOf;
using quillon_test::FakeKeyboardProbe;
using quillon_test::PtyPair;
using quillon_test::RecordingTerminalCalls;
using Clock = std::chrono::steady_clock;
using ReadBuffer = std::array<std::uint8_t, SerialPort::kReadSize>;

Bytes received(const ReadBuffer& buffer, SerialPort::Received got) {
  return Bytes(buffer.begin(), buffer.begin() + got.count);
}

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.isOpen()) << pty.errorText(); }
  void TearDown() override { port.Close(); }

  // The slave's settings, seen through the master (they are shared).
  termios lineSettings() {
    termios tio{};
    EXPECT_EQ(tcgetattr(pty.master(), &tio), 0);
    return tio;
  }

  PtyPair pty;
  FakeKeyboardProbe keyboard;
  RecordingTerminalCalls calls;
  SerialPort port{keyboard, calls};
};

TEST_F(SerialPortTest, OpenSetsRawEightNOneAndCloseRestoresTheLine) {
  const termios before = lineSettings();
  ASSERT_TRUE(before.c_lflag & ICANON) << "a fresh terminal is cooked";

  ASSERT_TRUE(port.Open(pty.slavePath(), 9600));
  EXPECT_TRUE(port.isOpen());
  const termios open = lineSettings();
  EXPECT_EQ(open.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(open.c_cflag & (PARENB | CSTOPB | CRTSCTS));
  EXPECT_EQ(open.c_cflag & (CLOCAL | CREAD),
            static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_FALSE(open.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_FALSE(open.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP));
  EXPECT_FALSE(open.c_oflag & OPOST);
  EXPECT_EQ(cfgetospeed(&open), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetispeed(&open), static_cast<speed_t>(B9600));

  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(port.isOpen());
  const termios after = lineSettings();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST_F(SerialPortTest, RatesWithoutAConstantAreSetExactly) {
  ASSERT_TRUE(port.Open(pty.slavePath(), 12345));
  EXPECT_EQ(quillon::currentSpeed(pty.master()), 12345u);
  ASSERT_TRUE(port.Open(pty.slavePath(), 115200));
  EXPECT_EQ(quillon::currentSpeed(pty.master()), 115200u);
}

TEST_F(SerialPortTest, OpenRefusesWhatNamesNoUsableLine) {
  EXPECT_FALSE(port.Open(pty.slavePath(), 0)) << "baud rate 0";
  EXPECT_FALSE(port.Open("/nonexistent/tty", 9600));

  char plain[] = "/tmp/quillon-not-a-tty-XXXXXX";
  const int fd = mkstemp(plain);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_FALSE(port.Open(plain, 9600)) << "a regular file";
  std::remove(plain);

  EXPECT_FALSE(port.isOpen());
  std::array<std::uint8_t, 2> frame{0x1B, '0'};
  EXPECT_EQ(port.Write(frame), QUILLON_ERR_NOT_OPEN);
}

TEST_F(SerialPortTest, PortIsExclusiveUntilClosed) {
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600));
  SerialPort other{keyboard};
  EXPECT_FALSE(other.Open(pty.slavePath(), 9600)) << "second opener while open";
  port.Close();
  EXPECT_TRUE(other.Open(pty.slavePath(), 9600)) << "free again after Close";
  other.Close();
}

TEST_F(SerialPortTest, OpeningAnotherPortClosesTheFirst) {
  PtyPair second;
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600));
  ASSERT_TRUE(port.Open(second.slavePath(), 9600)) << second.errorText();

  SerialPort other{keyboard};
  EXPECT_TRUE(other.Open(pty.slavePath(), 9600))
      << "the first port was released";
  other.Close();

  // A failed open leaves the object closed, not on the earlier port.
  EXPECT_FALSE(port.Open("/nonexistent/tty", 9600));
  EXPECT_FALSE(port.isOpen());
  std::array<std::uint8_t, 1> byte{'x'};
  EXPECT_EQ(port.Write(byte), QUILLON_ERR_NOT_OPEN);
  ReadBuffer buffer{};
  EXPECT_EQ(port.Read(buffer).status, QUILLON_ERR_NOT_OPEN);
  EXPECT_TRUE(second.receive(20ms).empty());
}

TEST_F(SerialPortTest, ClosedPortRefusesWriteAndReadAndClosesQuietly) {
  EXPECT_TRUE(port.Close());
  std::array<std::uint8_t, 2> frame{0x1B, 'j'};
  EXPECT_EQ(port.Write(frame), QUILLON_ERR_NOT_OPEN);
  ReadBuffer buffer{};
  buffer.fill(0xAA);
  EXPECT_EQ(port.Read(buffer).status, QUILLON_ERR_NOT_OPEN);
  EXPECT_EQ(buffer[0], 0xAA);
  EXPECT_TRUE(port.Close());
}

TEST_F(SerialPortTest, WriteSendsEveryByteUnchanged) {
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600));
  // Bytes a cooked line would turn into signals, flow control or
  // line-end translations.
  Bytes frame;
  for (int b = 0; b < 256; ++b) frame.push_back(static_cast<std::uint8_t>(b));
  ASSERT_EQ(port.Write(frame), QUILLON_OK);
  EXPECT_EQ(pty.receive(), frame);
}

// The process's threads by id.
std::set<std::string> threadIds() {
  std::set<std::string> ids;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/self/task"))
    ids.insert(task.path().filename());
  return ids;
}

// The threads started since `before` that are still there once each has
// gone or 10 s have passed: a thread the close joined may be listed a
// moment after the join returns, so each is waited for until it goes; one
// left running is still there.
std::set<std::string> threadsLeftSince(const std::set<std::string>& before) {
  const auto until = Clock::now() + 10s;
  std::set<std::string> left;
  for (;;) {
    left.clear();
    for (const auto& id : threadIds())
      if (!before.contains(id)) left.insert(id);
    if (left.empty() || Clock::now() >= until) return left;
    std::this_thread::sleep_for(1ms);
  }
}

// A close lets the last frame leave the transmitter before it puts the
// old settings back (once the output has drained) and closes. A line that
// does not drain in 500 ms has its queue discarded and its settings put
// back at once; a drain that not even that ends is cancelled. No thread
// is left behind either way.
TEST_F(SerialPortTest, CloseDrainsThenRestoresThenCloses) {
  using Drain = RecordingTerminalCalls::Drain;
  struct Case {
    const char* line;
    Drain drain;
    std::vector<std::string> calls;
  };
  const std::vector<std::string> givenUp = {
      "drain", "discard output", "discard input", "restore now", "close"};
  const Case cases[] = {
      {"drains",
       Drain::kEnds,
       {"drain", "discard input", "restore after drain", "close"}},
      {"never drains", Drain::kUntilDiscarded, givenUp},
      {"drain never returns", Drain::kNever, givenUp},
  };
  const std::array<std::uint8_t, 3> erase{0x1B, 'c', 0x07};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const std::set<std::string> threads = threadIds();
    ASSERT_TRUE(port.Open(pty.slavePath(), 9600));
    ASSERT_EQ(port.Write(erase), QUILLON_OK);
    calls.setDrain(c.drain);
    calls.clear();
    const auto start = Clock::now();
    ASSERT_TRUE(port.Close());
    const auto took = Clock::now() - start;
    calls.setDrain(Drain::kEnds);
    EXPECT_EQ(calls.log(), c.calls);
    EXPECT_EQ(threadsLeftSince(threads), std::set<std::string>{})
        << "a thread outlived the close";
    if (c.drain != Drain::kEnds) {
      EXPECT_GE(took, 500ms);
      EXPECT_LT(took, 2s);
    } else {
      EXPECT_EQ(pty.receive(20ms), bytesOf(erase));
    }
  }
}

TEST_F(SerialPortTest, WriteDropsInputThatArrivedBeforeIt) {
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600));
  pty.write(bytesOf("stale answer"));
  std::this_thread::sleep_for(50ms);  // let it reach the port's queue
  std::array<std::uint8_t, 2> frame{0x1B, 'j'};
  ASSERT_EQ(port.Write(frame), QUILLON_OK);
  pty.write(bytesOf("rp"));
  ReadBuffer buffer{};
  const auto got = port.Read(buffer);
  EXPECT_EQ(received(buffer, got), bytesOf("rp"));
}

// Bursts closer than the 79 ms pause make one reply; a longer pause cuts
// the reply there.
TEST_F(SerialPortTest, APauseEndsTheReplyAndShorterGapsDoNot) {
  struct Row {
    std::vector<std::string> bursts;
    std::chrono::milliseconds gap;
    std::string expected;
  };
  const Row rows[] = {
      {{"\x1bs12", "34?", "\x1c\x1brp"}, 40ms, "\x1bs1234?\x1c\x1brp"},
      {{"first", "second"}, 250ms, "first"},
  };
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600));
  for (const Row& row : rows) {
    std::thread device([&] {
      for (const auto& burst : row.bursts) {
        pty.write(bytesOf(burst));
        std::this_thread::sleep_for(row.gap);
      }
    });
    ReadBuffer buffer{};
    const auto got = port.Read(buffer);
    device.join();
    EXPECT_EQ(received(buffer, got), bytesOf(row.expected));
  }
}

// A reader the system kept from running longer than the pause that ends
// a reply: its second look at the keyboard takes 150 ms, and the rest of
// the reply arrives meanwhile.
class LateReaderProbe final : public quillon::KeyboardProbe {
 public:
  void beginWatch() override {}
  bool escapePressed() override {
    if (++looks_ == 2) std::this_thread::sleep_for(150ms);
    return false;
  }
  [[nodiscard]] std::span<const int> wakeDescriptors() const override {
    return {};
  }
  [[nodiscard]] std::optional<std::chrono::milliseconds> recheckInterval()
      const override {
    return {};
  }

 private:
  int looks_ = 0;
};

TEST(SerialPortLateReader, BytesWaitingWhenThePauseRunsOutAreTaken) {
  PtyPair pty;
  LateReaderProbe late;
  SerialPort port{late};
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600)) << pty.errorText();
  pty.write(bytesOf("\x1bs12"));
  std::thread device([&] {
    std::this_thread::sleep_for(20ms);
    pty.write(bytesOf("34?\x1c\x1brp"));
  });
  ReadBuffer buffer{};
  const auto got = port.Read(buffer);
  device.join();
  EXPECT_EQ(received(buffer, got), bytesOf("\x1bs1234?\x1c\x1brp"));
  port.Close();
}

TEST_F(SerialPortTest, AReadTakesAtMostFourHundredBytes) {
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600));
  Bytes big(450);
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<std::uint8_t>('a' + i % 26);
  pty.write(big);
  std::this_thread::sleep_for(30ms);
  ReadBuffer buffer{};
  const auto got = port.Read(buffer);
  EXPECT_EQ(received(buffer, got), Bytes(big.begin(), big.begin() + 400));
  // The rest is the next read's (or dropped by the next write).
  EXPECT_EQ(received(buffer, port.Read(buffer)),
            Bytes(big.begin() + 400, big.end()));
}

TEST_F(SerialPortTest, LostLineEndsReadAtOnceAndFailsWrite) {
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600));
  std::thread unplug([&] {
    std::this_thread::sleep_for(100ms);
    pty.close();
  });
  ReadBuffer buffer{};
  const auto start = Clock::now();
  EXPECT_EQ(port.Read(buffer).status, QUILLON_ERR_NO_REPLY);
  unplug.join();
  EXPECT_LT(Clock::now() - start, 3s) << "must not wait for the timeout";

  // And again on a line that was lost before the read began.
  EXPECT_EQ(port.Read(buffer).status, QUILLON_ERR_NO_REPLY);
  std::array<std::uint8_t, 2> frame{0x1B, 'e'};
  EXPECT_EQ(port.Write(frame), QUILLON_ERR_WRITE);
  EXPECT_TRUE(port.Close());
}

TEST_F(SerialPortTest, LineLostInTheMiddleOfAReplyReturnsWhatArrived) {
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600));
  std::thread device([&] {
    pty.write(bytesOf("\x1bs12"));
    std::this_thread::sleep_for(30ms);  // within the pause of a reply
    pty.close();
  });
  ReadBuffer buffer{};
  const auto start = Clock::now();
  const auto got = port.Read(buffer);
  device.join();
  EXPECT_EQ(received(buffer, got), bytesOf("\x1bs12"));
  EXPECT_LT(Clock::now() - start, 3s);
}

// Output held back on the line: the write must give up after its timeout
// of 19200/baud ms per byte, and drop what it queued. The line is held
// back through a descriptor opened before the port, which is exclusive
// once open.
TEST_F(SerialPortTest, StalledWriteFailsAfterItsTimeout) {
  const int stopper = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(stopper, 0);
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600));
  ASSERT_EQ(tcflow(stopper, TCOOFF), 0);
  Bytes frame(10, 'x');
  calls.clear();
  const auto start = Clock::now();
  EXPECT_EQ(port.Write(frame), QUILLON_ERR_WRITE);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(calls.log(),
            (std::vector<std::string>{"discard input", "discard output"}));
  tcflow(stopper, TCOON);
  close(stopper);
  EXPECT_TRUE(pty.receive(50ms).empty()) << "no head of the frame later";
}

// At 38400 baud and above the write has no timeout: it waits for the line.
TEST_F(SerialPortTest, FastLineWriteWaitsForStalledOutput) {
  const int stopper = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(stopper, 0);
  ASSERT_TRUE(port.Open(pty.slavePath(), 38400));
  ASSERT_EQ(tcflow(stopper, TCOOFF), 0);
  std::thread resume([&] {
    std::this_thread::sleep_for(300ms);
    tcflow(stopper, TCOON);
  });
  Bytes frame(10, 'x');
  EXPECT_EQ(port.Write(frame), QUILLON_OK);
  resume.join();
  close(stopper);
  EXPECT_EQ(pty.receive(), frame);
}

}  // namespace
