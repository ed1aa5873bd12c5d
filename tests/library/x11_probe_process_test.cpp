// The X11 probe in the process around it: a child of fork that ends must
// leave the parent's connection (or the attempt still setting one up)
// alone, and the probe's own thread must not read the environment, which
// the host may change between calls. getenv is replaced here (the program
// exports it, so libXau's calls come here too) to see which thread reads.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_x_server.h"
#include "quillon/keyboard/x11_keyboard_probe.h"

namespace {

std::mutex g_readsMutex;
pthread_t g_callerThread;
bool g_recording = false;
std::vector<std::string> g_readsElsewhere;  // names read off the caller

}  // namespace

extern "C" char* getenv(const char* name) noexcept {
  using Getenv = char* (*)(const char*);
  static const auto real = reinterpret_cast<Getenv>(dlsym(RTLD_NEXT, "getenv"));
  {
    std::lock_guard lock(g_readsMutex);
    if (g_recording && pthread_equal(pthread_self(), g_callerThread) == 0)
      g_readsElsewhere.emplace_back(name);
  }
  return real(name);
}

namespace quillon_test {
namespace {

using namespace std::chrono_literals;
using Behaviour = FakeXServer::Behaviour;
using Probe = quillon::X11KeyboardProbe;

bool settles(Probe& probe, bool open, bool down) {
  const auto end = std::chrono::steady_clock::now() + 3s;
  while (std::chrono::steady_clock::now() < end) {
    if (probe.escapePressed() == down && probe.isOpen() == open) return true;
    pollfd p{probe.descriptor(), POLLIN, 0};
    poll(&p, p.fd >= 0 ? 1 : 0, 10);
  }
  return false;
}

// The child's exit status, or -1 when it has not ended within 3 s (it is
// killed then).
int childEnds(pid_t child) {
  int status = 0;
  for (int i = 0; i < 300; ++i) {
    if (waitpid(child, &status, WNOHANG) == child)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(10ms);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

TEST(X11ProbeAcrossFork, AChildThatEndsLeavesTheParentsConnectionAlone) {
  struct Row {
    const char* name;
    Behaviour server;
    bool connected;  // else still being set up when the child is made
  };
  const Row rows[] = {{"connected", Behaviour::kLate, true},
                      {"connecting", Behaviour::kSilent, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeXServer server(row.server);
    ASSERT_FALSE(server.display().empty());
    setenv("DISPLAY", server.display().c_str(), 1);
    auto probe = std::make_unique<Probe>();
    probe->beginWatch();
    if (row.connected) {
      ASSERT_TRUE(settles(*probe, true, false)) << "no connection";
    }
    ASSERT_EQ(probe->isConnecting(), !row.connected);

    const pid_t child = fork();
    if (child == 0) {
      probe.reset();  // what exit() does to the library's device
      _exit(0);
    }
    EXPECT_EQ(childEnds(child), 0) << "the child hung or failed dropping it";
    if (row.connected) {
      server.holdEscape();
      EXPECT_TRUE(settles(*probe, true, true)) << "the connection was lost";
    } else {
      std::this_thread::sleep_for(300ms);
      EXPECT_FALSE(probe->escapePressed());
      EXPECT_TRUE(probe->isConnecting()) << "the handshake was cut off";
    }
  }
  unsetenv("DISPLAY");
}

// An authority file of one entry: this host's local displays, number
// `display`, the cookie `data`.
std::string authorityFile(const std::string& display, const std::string& data) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string entry;
  const auto field = [&](const std::string& value) {
    entry += static_cast<char>(value.size() >> 8);
    entry += static_cast<char>(value.size() & 0xFF);
    entry += value;
  };
  entry += std::string("\x01\x00", 2);  // FamilyLocal, big-endian
  field(host);
  field(display);
  field("MIT-MAGIC-COOKIE-1");
  field(data);
  char path[] = "/tmp/quillon-xauth-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_EQ(write(fd, entry.data(), entry.size()),
            static_cast<ssize_t>(entry.size()));
  close(fd);
  return path;
}

TEST(X11ProbeEnvironment, OnlyTheCallersThreadReadsIt) {
  FakeXServer server(Behaviour::kLate);
  ASSERT_FALSE(server.display().empty());
  const std::string cookie = "0123456789abcdef";
  const std::string file = authorityFile(server.display().substr(1), cookie);
  setenv("XAUTHORITY", file.c_str(), 1);
  setenv("DISPLAY", server.display().c_str(), 1);
  {
    std::lock_guard lock(g_readsMutex);
    g_callerThread = pthread_self();
    g_recording = true;
  }
  Probe probe;
  probe.beginWatch();
  const bool connected = settles(probe, true, false);
  {
    std::lock_guard lock(g_readsMutex);
    g_recording = false;
    std::string names;
    for (const auto& name : g_readsElsewhere) names += name + " ";
    EXPECT_TRUE(g_readsElsewhere.empty()) << "read off the caller: " << names;
  }
  EXPECT_TRUE(connected);
  EXPECT_EQ(server.authorization(), "MIT-MAGIC-COOKIE-1:" + cookie)
      << "the cookie of the authority file was not sent";
  unsetenv("DISPLAY");
  unsetenv("XAUTHORITY");
  std::remove(file.c_str());
}

}  // namespace
}  // namespace quillon_test
