// A program that loads the shared library at run time and calls its
// functions by name, as a foreign caller does, against the simulated
// encoder.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "com_port_path.h"
#include "encoder_protocol.h"
#include "silent_name_server.h"
#include "simulated_encoder.h"

namespace {

using namespace std::chrono_literals;
using protocol::Bytes;

using NoArgs = std::int16_t (*)();
using OneArg = std::int16_t (*)(int);
using OpenFn = std::int16_t (*)(int, int);
using ReadFn = std::int16_t (*)(int, char*, char*, char*);
using WriteFn = std::int16_t (*)(int, const char*, const char*, const char*);

struct Library {
  void* handle = nullptr;
  OpenFn open = nullptr;
  NoArgs close = nullptr, reset = nullptr, test = nullptr, status = nullptr;
  OneArg coercivity = nullptr, density = nullptr, erase = nullptr;
  ReadFn read = nullptr;
  WriteFn write = nullptr;
};

template <typename Fn>
void bind(void* handle, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(dlsym(handle, name));
  EXPECT_NE(fn, nullptr) << name << ": " << dlerror();
}

Library load() {
  Library lib;
  lib.handle = dlopen(QUILLON_SONAME_FILE, RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(lib.handle, nullptr) << dlerror();
  if (lib.handle == nullptr) return lib;
  bind(lib.handle, "gOpenSerialPort", lib.open);
  bind(lib.handle, "gCloseSerialCom", lib.close);
  bind(lib.handle, "gReset", lib.reset);
  bind(lib.handle, "gSetHLCo", lib.coercivity);
  bind(lib.handle, "gSetTrack2Density", lib.density);
  bind(lib.handle, "gMSRReadCard", lib.read);
  bind(lib.handle, "gMSRWriteCard", lib.write);
  bind(lib.handle, "gEraseInformationofCard", lib.erase);
  bind(lib.handle, "gCommunicationWithDevice", lib.test);
  bind(lib.handle, "gMSRWrtOrReadStatus", lib.status);
  return lib;
}

// Whether this process holds a descriptor on `path`.
bool holdsOpen(const std::string& path) {
  DIR* dir = opendir("/proc/self/fd");
  bool found = false;
  while (const dirent* entry = readdir(dir)) {
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    char target[PATH_MAX] = {};
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && path == target) found = true;
  }
  closedir(dir);
  return found;
}

class DlopenClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(encoder.start()) << encoder.errorText();
    lib = load();
    ASSERT_NE(lib.handle, nullptr);
  }
  void TearDown() override {
    if (lib.handle != nullptr) {
      lib.close();
      dlclose(lib.handle);
    }
    encoder.stop();
  }
  sim::SimulatedEncoder encoder;
  Library lib;
};

TEST_F(DlopenClient, EveryFunctionBeforeOpenSaysNotOpen) {
  char buffer[400] = {};
  EXPECT_EQ(lib.close(), 0);
  EXPECT_EQ(lib.reset(), -1);
  EXPECT_EQ(lib.coercivity(1), -1);
  EXPECT_EQ(lib.density('H'), -1);
  EXPECT_EQ(lib.erase(7), -1);
  EXPECT_EQ(lib.test(), -1);
  EXPECT_EQ(lib.status(), -1);
  EXPECT_EQ(lib.read(2, nullptr, buffer, nullptr), -1);
  EXPECT_EQ(lib.read(5, buffer, nullptr, buffer), -1);
  EXPECT_EQ(lib.write(2, "", "1", ""), -1);
  EXPECT_EQ(lib.write(2, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(lib.close(), 0);
}

TEST_F(DlopenClient, DrivesTheEncoderThroughTheTenFunctions) {
  setenv(portmap::overrideVariable(1).c_str(), encoder.slavePath().c_str(), 1);
  ASSERT_EQ(lib.open(257, 9600), 0) << "257 is COM1";
  EXPECT_EQ(lib.test(), 0);
  EXPECT_EQ(lib.status(), 0);
  EXPECT_EQ(lib.coercivity(1), 0);
  EXPECT_EQ(lib.coercivity(0), 0);
  EXPECT_EQ(lib.density('L'), 0);
  EXPECT_EQ(lib.reset(), 0);
  EXPECT_EQ(lib.erase(0), 0);
  const Bytes sent = {0x1B, 0x65, 0x1B, 0x6A, 0x1B, 0x78, 0x1B, 0x79,
                      0x1B, 0x4C, 0x1B, 0x30, 0x1B, 0x63, 0x00};
  EXPECT_TRUE(encoder.waitForFrames(7, 2s));
  EXPECT_EQ(encoder.received(), sent);

  EXPECT_EQ(lib.write(3, "TRACK ONE", "12345", "not sent"), 0);
  char track2[400] = {};
  char track1[400] = {};
  EXPECT_EQ(lib.read(3, track1, track2, nullptr), 0);
  EXPECT_STREQ(track1, "TRACK ONE");
  EXPECT_STREQ(track2, "12345");
  EXPECT_EQ(lib.read(5, track1, nullptr, track2), -4);
  EXPECT_EQ(lib.write(1, nullptr, "", ""), -3);
  EXPECT_EQ(lib.close(), 0);
  EXPECT_EQ(lib.status(), -1);
}

// COMn as the exported open resolves it: ENCODER_COMn (an absolute path
// only) or /dev/ttyS<n-1>, from the low 8 bits of the number. A relative
// ENCODER_COMn would name ./enc here and /dev/enc in the program: refused,
// although ./enc is a working terminal. A refused open closes the port.
TEST_F(DlopenClient, OpenResolvesComPortNumbers) {
  char folder[] = "/tmp/quillon-relative-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string link = std::string(folder) + "/enc";
  ASSERT_EQ(symlink(encoder.slavePath().c_str(), link.c_str()), 0);
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(folder), 0);
  struct Row {
    int port;
    const char* device;  // ENCODER_COMn; null: none set
    std::int16_t status;
  };
  const Row rows[] = {
      {9, link.c_str(), 0}, {0, nullptr, -1},
      {9, link.c_str(), 0}, {256, nullptr, -1},  // port 0 in 8 bits
      {9, "enc", -1},       {9, "./enc", -1},
      {9, link.c_str(), 0}, {9, "/nonexistent/tty", -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.port) + " " +
                 (row.device != nullptr ? row.device : "-"));
    if (row.device != nullptr)
      setenv(portmap::overrideVariable(row.port).c_str(), row.device, 1);
    EXPECT_EQ(lib.open(row.port, 9600), row.status);
    EXPECT_EQ(lib.status() == -1, row.status != 0)
        << "open only after an open that worked";
  }
  unsetenv(portmap::overrideVariable(9).c_str());
  lib.close();
  EXPECT_EQ(chdir(previous), 0);
  std::remove(link.c_str());
  rmdir(folder);
}

TEST_F(DlopenClient, UnloadingLeavesThePortOpen) {
  setenv(portmap::overrideVariable(2).c_str(), encoder.slavePath().c_str(), 1);
  ASSERT_EQ(lib.open(2, 9600), 0);
  ASSERT_TRUE(holdsOpen(encoder.slavePath()));
  ASSERT_EQ(dlclose(lib.handle), 0);
  lib.handle = nullptr;
  EXPECT_TRUE(holdsOpen(encoder.slavePath()));

  // A fresh load has a fresh, closed device.
  lib = load();
  ASSERT_NE(lib.handle, nullptr);
  EXPECT_EQ(lib.status(), -1);
}

// Threads and descriptors of this process.
struct Held {
  int threads = 0;
  int descriptors = 0;
};

Held held() {
  Held counted;
  for (auto [folder, count] :
       {std::pair{"/proc/self/task", &counted.threads},
        std::pair{"/proc/self/fd", &counted.descriptors}}) {
    DIR* dir = opendir(folder);
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++*count;
    closedir(dir);
  }
  return counted;
}

// Loaded, used and unloaded again and again while the display's host is
// looked up from a name server that never answers: the lookups (threads
// and descriptors of the C library's resolver) must not pile up.
TEST(DeadNameServer, ReloadingDoesNotPileUpLookups) {
  if (getenv("QUILLON_DEAD_NAME_SERVER") == nullptr)
    GTEST_SKIP() << "run by the test quillon_export_dead_name_server";
  quillon_test::SilentNameServer nameServer;
  ASSERT_TRUE(nameServer.listening()) << "127.0.0.1:53 is taken";
  sim::SimulatedEncoder encoder;
  ASSERT_TRUE(encoder.start()) << encoder.errorText();
  setenv(portmap::overrideVariable(1).c_str(), encoder.slavePath().c_str(), 1);
  setenv("DISPLAY", "quillon-display-host:9", 1);
  const Held before = held();
  for (int cycle = 0; cycle < 12; ++cycle) {
    Library lib = load();
    ASSERT_NE(lib.handle, nullptr);
    ASSERT_EQ(lib.open(1, 9600), 0);
    EXPECT_EQ(lib.test(), 0);  // its wait begins by looking the host up
    lib.close();
    dlclose(lib.handle);
  }
  const Held after = held();
  std::printf("after 12 cycles: %+d threads, %+d descriptors\n",
              after.threads - before.threads,
              after.descriptors - before.descriptors);
  EXPECT_LE(after.threads - before.threads, 3);
  EXPECT_LE(after.descriptors - before.descriptors, 4);
  unsetenv("DISPLAY");
  encoder.stop();
}

}  // namespace
