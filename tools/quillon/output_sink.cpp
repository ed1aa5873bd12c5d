#include "output_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace quillon::cli {

namespace {

double secondsNow() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

OutputSink::~OutputSink() {
  if (owned_) ::close(fd_);
}

std::string OutputSink::open(const std::string& path) {
  if (path.empty()) return {};
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return "cannot write " + path + ": " + std::strerror(errno);
  fd_ = fd;
  owned_ = true;
  name_ = path;
  return {};
}

bool OutputSink::put(const std::string& text) {
  // Where this record begins, in a file (a pipe has no position).
  const off_t start = ::lseek(fd_, 0, SEEK_CUR);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    error_ = name_ + ": " + std::strerror(n < 0 ? errno : EIO);
    struct stat info {};
    if (start >= 0 && ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) &&
        ::ftruncate(fd_, start) == 0)
      ::lseek(fd_, start, SEEK_SET);
    return false;
  }
  return true;
}

Progress::Progress(bool quiet)
    : show_(!quiet && ::isatty(STDERR_FILENO)), start_(secondsNow()) {}

void Progress::card(long number, long total, const std::string& verb,
                    const std::string& detail) {
  ++done_;
  if (!show_) return;
  char perCard[32];
  std::snprintf(perCard, sizeof perCard, "%.1f s/card",
                (secondsNow() - start_) / static_cast<double>(done_));
  std::string line = "card " + std::to_string(number);
  if (total > 0) line += " of " + std::to_string(total);
  line += " " + verb;
  if (!detail.empty()) line += ", " + detail;
  std::fprintf(stderr, "%s, %s\n", line.c_str(), perCard);
}

}  // namespace quillon::cli
