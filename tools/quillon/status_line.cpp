#include "status_line.h"

#include <sys/stat.h>
#include <unistd.h>

namespace quillon::cli::status_line {

namespace {

bool shown = false;

void put(const std::string& text) {
  // A terminal takes short writes whole; a failure leaves nothing to mend.
  [[maybe_unused]] const auto written =
      ::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

void show(const std::string& text) {
  put("\r\033[K" + text);
  shown = true;
}

void clear() {
  if (!shown) return;
  put("\r\033[K");
  shown = false;
}

void keep() {
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
  if (shown && sameTerminalAsStderr(fd)) clear();
}

}  // namespace quillon::cli::status_line
