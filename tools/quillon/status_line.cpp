#include "status_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

namespace quillon::cli::status_line {

namespace {

bool shown = false;

std::recursive_mutex& terminal() {
  static std::recursive_mutex mutex;
  return mutex;
}

void put(const std::string& text) {
  // A terminal takes short writes whole; a failure leaves nothing to mend.
  [[maybe_unused]] const auto written =
      ::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

Guard::Guard() { terminal().lock(); }
Guard::~Guard() { terminal().unlock(); }

void show(const std::string& text) {
  const Guard guard;
  put("\r\033[K" + text);
  shown = true;
}

void clear() {
  const Guard guard;
  if (!shown) return;
  put("\r\033[K");
  shown = false;
}

void keep() {
  const Guard guard;
  if (!shown) return;
  put("\n");
  shown = false;
}

bool sameTerminalAsStderr(int fd) {
  if (fd == STDERR_FILENO) return ::isatty(fd) != 0;
  struct stat a {
  }, b{};
  return ::isatty(fd) && ::isatty(STDERR_FILENO) && ::fstat(fd, &a) == 0 &&
         ::fstat(STDERR_FILENO, &b) == 0 && a.st_rdev == b.st_rdev;
}

void clearBefore(int fd) {
  const Guard guard;
  if (shown && sameTerminalAsStderr(fd)) clear();
}

}  // namespace quillon::cli::status_line
