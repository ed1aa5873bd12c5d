// The machine's keyboard probes: input-event descriptors (a pipe stands in
// for a keyboard device) and X11 on a virtual X server held by xdotool.
#include "quillon/keyboard/keyboard_probe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "pty_pair.h"
#include "quillon/core/serial_port.h"
#include "quillon/keyboard/evdev_keyboard_probe.h"
#include "quillon/keyboard/x11_keyboard_probe.h"

namespace {

using namespace std::chrono_literals;

void sendKey(int fd, unsigned short code, int value) {
  input_event events[2] = {};
  events[0].type = EV_KEY;
  events[0].code = code;
  events[0].value = value;
  events[1].type = EV_SYN;  // the report that closes each event batch
  ASSERT_EQ(write(fd, events, sizeof events),
            static_cast<ssize_t>(sizeof events));
}

class EvdevProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    probe.adoptDevice(fds[0]);
  }
  void TearDown() override {
    if (fds[1] >= 0) close(fds[1]);
  }
  int fds[2] = {-1, -1};
  quillon::EvdevKeyboardProbe probe{"/nonexistent"};
};

TEST_F(EvdevProbeTest, EscapePressSinceTheWatchBeganCounts) {
  probe.open();  // no such directory: keeps the adopted device only
  ASSERT_EQ(probe.wakeDescriptors().size(), 1u);
  EXPECT_FALSE(probe.escapePressed());
  sendKey(fds[1], KEY_A, 1);
  sendKey(fds[1], KEY_A, 0);
  EXPECT_FALSE(probe.escapePressed()) << "another key";
  sendKey(fds[1], KEY_ESC, 1);
  sendKey(fds[1], KEY_ESC, 0);
  EXPECT_TRUE(probe.escapePressed()) << "pressed and released in between";
  EXPECT_FALSE(probe.escapePressed()) << "each press counts once";
}

TEST_F(EvdevProbeTest, PressBeforeTheWatchIsForgotten) {
  sendKey(fds[1], KEY_ESC, 1);
  sendKey(fds[1], KEY_ESC, 0);
  probe.forgetPresses();
  EXPECT_FALSE(probe.escapePressed());
  sendKey(fds[1], KEY_ESC, 2);  // autorepeat of a key held down
  EXPECT_TRUE(probe.escapePressed());
}

TEST_F(EvdevProbeTest, KeyboardThatGoesAwayIsDropped) {
  close(fds[1]);
  fds[1] = -1;
  EXPECT_FALSE(probe.escapePressed());
  EXPECT_TRUE(probe.wakeDescriptors().empty());
}

TEST(EvdevProbeScan, FilesThatAreNoKeyboardsAreLeftAlone) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("quillon-input-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  for (const char* name : {"event0", "event1", "mouse0"})
    std::fclose(std::fopen((dir / name).c_str(), "w"));
  quillon::EvdevKeyboardProbe probe{dir.string()};
  probe.open();
  EXPECT_TRUE(probe.wakeDescriptors().empty());
  EXPECT_FALSE(probe.escapePressed());
  std::filesystem::remove_all(dir);
}

// A virtual X server of the test's own. The display number comes from the
// process id, so that tests running side by side do not meet; a number
// already taken makes the server exit, and the next one is tried.
class VirtualXServer {
 public:
  VirtualXServer() {
    const int base = 100 + static_cast<int>(getpid() % 5000) * 4;
    for (int number = base; number < base + 4 && display_.empty(); ++number)
      start(number);
  }
  ~VirtualXServer() { stop(); }
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  [[nodiscard]] const std::string& display() const { return display_; }
  [[nodiscard]] bool running() const { return pid_ > 0; }

 private:
  void start(int number) {
    const std::string display = ":" + std::to_string(number);
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
    if (std::filesystem::exists(socket)) return;
    pid_ = fork();
    if (pid_ == 0) {
      execlp("Xvfb", "Xvfb", display.c_str(), "-noreset", "-nolisten", "tcp",
             "-screen", "0", "320x240x24", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int waited = 0; waited < 500; ++waited) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {  // it gave up
        pid_ = -1;
        return;
      }
      if (std::filesystem::exists(socket)) {
        display_ = display;
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
    stop();
  }

  pid_t pid_ = -1;
  std::string display_;
};

bool xdotool(const std::string& display, const char* action) {
  const std::string command =
      "DISPLAY=" + display + " xdotool " + action + " Escape";
  return std::system(command.c_str()) == 0;
}

class X11ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v Xvfb >/dev/null && command -v xdotool "
                    ">/dev/null") != 0)
      GTEST_SKIP() << "Xvfb and xdotool are needed";
    server = std::make_unique<VirtualXServer>();
    ASSERT_FALSE(server->display().empty()) << "Xvfb did not start";
    setenv("DISPLAY", server->display().c_str(), 1);
  }
  void TearDown() override {
    if (server && server->running()) xdotool(server->display(), "keyup");
  }
  std::unique_ptr<VirtualXServer> server;
};

// The probe never waits for the server: the state it reports follows the
// server's answers as they come.
bool settlesAt(quillon::X11KeyboardProbe& probe, bool down) {
  const auto end = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < end) {
    if (probe.escapePressed() == down && probe.isOpen()) return true;
    pollfd p{probe.descriptor(), POLLIN, 0};
    poll(&p, p.fd >= 0 ? 1 : 0, 10);
  }
  return false;
}

TEST_F(X11ProbeTest, SeesTheKeyHeldOnTheServer) {
  quillon::X11KeyboardProbe probe;
  probe.beginWatch();
  ASSERT_TRUE(settlesAt(probe, false)) << "no connection";
  ASSERT_TRUE(xdotool(server->display(), "keydown"));
  EXPECT_TRUE(settlesAt(probe, true));
  ASSERT_TRUE(xdotool(server->display(), "keyup"));
  EXPECT_TRUE(settlesAt(probe, false));
}

TEST_F(X11ProbeTest, LostServerIsDroppedAndFoundAgain) {
  quillon::X11KeyboardProbe probe;
  probe.beginWatch();
  ASSERT_TRUE(settlesAt(probe, false)) << "no connection";
  server->stop();
  const auto end = std::chrono::steady_clock::now() + 2s;
  while (probe.isOpen() && std::chrono::steady_clock::now() < end) {
    EXPECT_FALSE(probe.escapePressed());
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_FALSE(probe.isOpen());
  EXPECT_EQ(probe.descriptor(), -1);
  // A server that comes (back) later is found by the next watch.
  server = std::make_unique<VirtualXServer>();
  ASSERT_FALSE(server->display().empty()) << "Xvfb did not start";
  setenv("DISPLAY", server->display().c_str(), 1);
  probe.beginWatch();
  EXPECT_TRUE(settlesAt(probe, false)) << "the new server was not found";
}

TEST_F(X11ProbeTest, DefaultProbeAbortsAReadWhileEscapeIsHeld) {
  quillon_test::PtyPair pty;
  quillon::SerialPort port;  // the machine's keyboard
  ASSERT_TRUE(port.Open(pty.slavePath(), 9600)) << pty.errorText();
  bool pressed = false;
  std::thread user([&] {
    std::this_thread::sleep_for(200ms);
    pressed = xdotool(server->display(), "keydown");
  });
  std::array<std::uint8_t, quillon::SerialPort::kReadSize> buffer{};
  const auto start = std::chrono::steady_clock::now();
  const auto result = port.Read(buffer).status;
  user.join();
  ASSERT_TRUE(pressed) << "xdotool could not press the key";
  EXPECT_EQ(result, QUILLON_ERR_ESCAPE);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  port.Close();
}

TEST(X11ProbeWithoutDisplay, KeyReadsAsUp) {
  unsetenv("DISPLAY");
  quillon::X11KeyboardProbe probe;
  probe.beginWatch();
  EXPECT_FALSE(probe.isOpen());
  EXPECT_FALSE(probe.escapePressed());
  EXPECT_EQ(probe.descriptor(), -1);
}

}  // namespace
