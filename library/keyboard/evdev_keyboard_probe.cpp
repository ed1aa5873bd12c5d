#include "quillon/keyboard/evdev_keyboard_probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "quillon/keyboard/fork_generation.h"

namespace quillon {

namespace {

constexpr std::size_t kLongBits = sizeof(unsigned long) * CHAR_BIT;
constexpr std::size_t kKeyWords = (KEY_MAX + kLongBits) / kLongBits;

bool testBit(const unsigned long* words, unsigned bit) {
  return (words[bit / kLongBits] >> (bit % kLongBits)) & 1UL;
}

bool hasEscapeKey(int fd) {
  unsigned long keys[kKeyWords] = {};
  if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0) return false;
  return testBit(keys, KEY_ESC);
}

}  // namespace

EvdevKeyboardProbe::EvdevKeyboardProbe(std::string directory)
    : directory_(std::move(directory)), generation_(forkGeneration()) {}

EvdevKeyboardProbe::~EvdevKeyboardProbe() {
  for (int fd : fds_) ::close(fd);
}

void EvdevKeyboardProbe::open() {
  // Scanned at every call: a keyboard plugged in after the first read is
  // found by the next one. Devices already open are not opened twice.
  DIR* dir = opendir(directory_.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, "event", 5) != 0) continue;
    const std::string path = directory_ + "/" + entry->d_name;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || isOpen(info.st_rdev)) continue;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;  // not ours to read
    if (hasEscapeKey(fd)) {
      fds_.push_back(fd);
      devices_.push_back(info.st_rdev);
    } else {
      ::close(fd);
    }
  }
  closedir(dir);
}

bool EvdevKeyboardProbe::isOpen(dev_t device) const {
  for (dev_t d : devices_)
    if (d == device) return true;
  return false;
}

void EvdevKeyboardProbe::adoptDevice(int fd) {
  fds_.push_back(fd);
  devices_.push_back(0);  // not under the directory
}

void EvdevKeyboardProbe::beginWatch() {
  if (const unsigned now = forkGeneration(); now != generation_) {
    // A child of fork shares the parent's descriptors, and with them
    // their queues of key events: it opens its own instead.
    generation_ = now;
    for (int fd : fds_) ::close(fd);
    fds_.clear();
    devices_.clear();
  }
  open();
  forgetPresses();
}

void EvdevKeyboardProbe::forgetPresses() {
  for (std::size_t i = fds_.size(); i-- > 0;) {
    bool ignored = false;
    if (!drainDevice(fds_[i], ignored)) dropDevice(i);
  }
}

bool EvdevKeyboardProbe::escapePressed() {
  bool pressed = false;
  for (std::size_t i = fds_.size(); i-- > 0;) {
    if (!drainDevice(fds_[i], pressed)) {
      dropDevice(i);
      continue;
    }
    if (!pressed && escapeHeld(fds_[i])) pressed = true;
  }
  return pressed;
}

bool EvdevKeyboardProbe::drainDevice(int fd, bool& sawEscapePress) {
  input_event events[16];
  for (;;) {
    const ssize_t n = ::read(fd, events, sizeof events);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN;  // ENODEV: unplugged
    }
    if (n == 0) return false;  // end of file: the writer is gone
    const auto count = static_cast<std::size_t>(n) / sizeof(input_event);
    for (std::size_t i = 0; i < count; ++i) {
      // value 1 is a press, 2 an autorepeat of a held key
      if (events[i].type == EV_KEY && events[i].code == KEY_ESC &&
          events[i].value != 0)
        sawEscapePress = true;
    }
  }
}

bool EvdevKeyboardProbe::escapeHeld(int fd) {
  unsigned long keys[kKeyWords] = {};
  if (ioctl(fd, EVIOCGKEY(sizeof keys), keys) < 0) return false;
  return testBit(keys, KEY_ESC);
}

void EvdevKeyboardProbe::dropDevice(std::size_t index) {
  ::close(fds_[index]);
  fds_.erase(fds_.begin() + static_cast<std::ptrdiff_t>(index));
  devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace quillon
