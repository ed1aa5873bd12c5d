#include "fake_x_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "encoder_protocol.h"

namespace quillon_test {

namespace {

using Clock = std::chrono::steady_clock;
using protocol::Bytes;

constexpr std::uint8_t kMinKeycode = 8;
constexpr std::uint8_t kMaxKeycode = 255;
constexpr std::uint8_t kEscapeKeycode = 9;
constexpr std::uint8_t kQueryKeymap = 44;
constexpr std::uint8_t kGetKeyboardMapping = 101;

void put16(Bytes& b, std::size_t at, unsigned v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, unsigned v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}
unsigned get16(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8;
}

// The handshake's answer: success, keycodes 8..255, one pixmap format and
// one 24-bit screen with one visual (X clients insist on a screen).
Bytes setupReply() {
  constexpr std::size_t kFixed = 32, kVendor = 4, kFormat = 8, kScreen = 40,
                        kDepth = 8, kVisual = 24;
  const std::size_t extra =
      kFixed + kVendor + kFormat + kScreen + kDepth + kVisual;
  Bytes b(8 + extra, 0);
  b[0] = 1;
  put16(b, 2, 11);  // protocol 11.0
  put16(b, 6, static_cast<unsigned>(extra / 4));
  put32(b, 12, 0x00200000);  // resource id base
  put32(b, 16, 0x001FFFFF);  // resource id mask
  put16(b, 24, kVendor);
  put16(b, 26, 0xFFFF);  // longest request
  b[28] = 1;             // screens
  b[29] = 1;             // pixmap formats
  b[32] = 32;            // bitmap scanline unit
  b[33] = 32;            // bitmap scanline pad
  b[34] = kMinKeycode;
  b[35] = kMaxKeycode;
  std::size_t at = 8 + kFixed;
  std::memcpy(&b[at], "Fake", kVendor);
  at += kVendor;
  b[at] = 24, b[at + 1] = 32, b[at + 2] = 32;  // depth, bits per pixel, pad
  at += kFormat;
  put32(b, at, 0x100);         // root window
  put32(b, at + 4, 0x20);      // default colormap
  put32(b, at + 8, 0xFFFFFF);  // white
  put16(b, at + 20, 320);
  put16(b, at + 22, 240);
  put16(b, at + 24, 85);
  put16(b, at + 26, 64);
  put16(b, at + 28, 1);
  put16(b, at + 30, 1);
  put32(b, at + 32, 0x21);  // root visual
  b[at + 38] = 24;          // root depth
  b[at + 39] = 1;           // depths
  at += kScreen;
  b[at] = 24;
  put16(b, at + 2, 1);  // visuals
  at += kDepth;
  put32(b, at, 0x21);
  b[at + 4] = 4;  // TrueColor
  b[at + 5] = 8;
  put16(b, at + 6, 256);
  put32(b, at + 8, 0xFF0000);
  put32(b, at + 12, 0x00FF00);
  put32(b, at + 16, 0x0000FF);
  return b;
}

// The core requests that have an answer; the others have none.
bool hasAnswer(std::uint8_t opcode) {
  static constexpr std::uint8_t kWithAnswer[] = {
      3,  14, 15, 16,  17,  20,  21,  23,  26,  31,  38,  39, 40, 43,
      44, 47, 48, 49,  50,  52,  73,  83,  84,  85,  86,  87, 91, 92,
      97, 98, 99, 101, 103, 106, 108, 110, 116, 117, 118, 119};
  return std::find(std::begin(kWithAnswer), std::end(kWithAnswer), opcode) !=
         std::end(kWithAnswer);
}

// Requests other than the key state and the keyboard mapping get the empty
// answer: no property, no extension, no modifiers.
Bytes emptyReply(unsigned sequence) {
  Bytes b(32, 0);
  b[0] = 1;
  put16(b, 2, sequence);
  return b;
}

Bytes keyboardMappingReply(unsigned sequence, unsigned first, unsigned count) {
  Bytes b(32 + 4 * count, 0);
  b[0] = 1;
  b[1] = 1;  // one keysym per keycode
  put16(b, 2, sequence);
  put32(b, 4, count);
  if (kEscapeKeycode >= first && kEscapeKeycode < first + count)
    put32(b, 32 + 4 * (kEscapeKeycode - first), 0xff1b);
  return b;
}

Bytes keymapReply(unsigned sequence, bool escapeDown) {
  Bytes b(40, 0);
  b[0] = 1;
  put16(b, 2, sequence);
  put32(b, 4, 2);
  if (escapeDown) b[8 + kEscapeKeycode / 8] |= 1 << (kEscapeKeycode % 8);
  return b;
}

bool socketAnswers(const sockaddr_un& address, socklen_t length) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool answers =
      connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  close(fd);
  return answers;
}

}  // namespace

FakeXServer::FakeXServer(Behaviour behaviour) : behaviour_(behaviour) {
  mkdir("/tmp/.X11-unix", 01777);
  // Numbers of its own, away from the virtual servers of other tests.
  const int base = 6000 + static_cast<int>(getpid() % 3000) * 8;
  for (int number = base; number < base + 8 && display_.empty(); ++number) {
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Another server on the abstract name of this number would be reached
    // first by a client: skip the number.
    std::memcpy(address.sun_path + 1, path.c_str(), path.size());
    if (socketAnswers(address,
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                             1 + path.size())))
      continue;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0 ||
        listen(fd, 4) != 0) {
      close(fd);
      continue;
    }
    listener_ = fd;
    socketPath_ = path;
    display_ = ":" + std::to_string(number);
  }
  if (listener_ < 0 || pipe2(stopPipe_, O_CLOEXEC) != 0) return;
  thread_ = std::thread([this] { serve(); });
}

FakeXServer::~FakeXServer() {
  if (thread_.joinable()) {
    (void)write(stopPipe_[1], "x", 1);
    thread_.join();
  }
  for (int fd : {listener_, stopPipe_[0], stopPipe_[1]})
    if (fd >= 0) close(fd);
  if (!socketPath_.empty()) unlink(socketPath_.c_str());
}

std::string FakeXServer::authorization() const {
  std::lock_guard lock(mutex_);
  return authorization_;
}

void FakeXServer::serve() {
  for (;;) {
    pollfd p[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) continue;
    if (p[1].revents != 0) return;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    serveConnection(fd);
    close(fd);
  }
}

// One client at a time, until it goes or the server stops.
void FakeXServer::serveConnection(int fd) {
  struct Answer {
    Clock::time_point due;
    Bytes bytes;
  };
  std::deque<Answer> answers;
  Bytes in;
  bool setUp = false;
  unsigned sequence = 0;
  unsigned delayStep = 0;
  const auto later = [&] {
    // 100, 117, 134, 150 ms, and again.
    const auto delay =
        std::chrono::milliseconds(100 + (delayStep++ % 4) * 50 / 3);
    return Clock::now() + delay;
  };
  for (;;) {
    int timeout = -1;
    if (!answers.empty()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          answers.front().due - Clock::now());
      timeout = static_cast<int>(std::max<long>(0, left.count()));
    }
    pollfd p[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(p, 2, timeout) < 0) continue;
    if (p[1].revents != 0) return;
    while (!answers.empty() && answers.front().due <= Clock::now()) {
      const Bytes& b = answers.front().bytes;
      if (send(fd, b.data(), b.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(b.size()))
        return;
      answers.pop_front();
    }
    if ((p[0].revents & (POLLIN | POLLHUP)) == 0) continue;
    std::uint8_t chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return;  // the client went
    in.insert(in.end(), chunk, chunk + n);
    if (behaviour_ == Behaviour::kSilent) {
      in.clear();
      continue;
    }
    for (;;) {
      if (!setUp) {
        if (in.size() < 12) break;
        const std::size_t size =
            12 + (get16(in, 6) + 3) / 4 * 4 + (get16(in, 8) + 3) / 4 * 4;
        if (in.size() < size) break;
        {
          const auto name = in.begin() + 12;
          const auto data = name + (get16(in, 6) + 3) / 4 * 4;
          std::lock_guard lock(mutex_);
          authorization_.assign(name, name + get16(in, 6));
          authorization_ += ':';
          authorization_.append(data, data + get16(in, 8));
        }
        in.erase(in.begin(), in.begin() + static_cast<long>(size));
        answers.push_back({later(), setupReply()});
        setUp = true;
        continue;
      }
      if (in.size() < 4) break;
      const std::size_t size = get16(in, 2) * 4u;
      if (size == 0 || in.size() < size) break;
      ++sequence;
      if (in[0] == kQueryKeymap) {
        ++keymapRequests_;
        answers.push_back({later(), keymapReply(sequence, escapeHeld_)});
      } else if (in[0] == kGetKeyboardMapping) {
        answers.push_back(
            {later(), keyboardMappingReply(sequence, in[4], in[5])});
      } else if (hasAnswer(in[0])) {
        answers.push_back({later(), emptyReply(sequence)});
      }
      in.erase(in.begin(), in.begin() + static_cast<long>(size));
    }
  }
}

}  // namespace quillon_test
