#include "output_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "card_file.h"
#include "status_line.h"

namespace quillon::cli {

using namespace quillon::batch;  // the card file rules

OutputSink::~OutputSink() {
  if (owned_) ::close(fd_);
}

std::string OutputSink::choose(const std::string& path) {
  if (path.empty() || path == "-") return {};
  const std::string cannot = "cannot write " + path + ": ";
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) return cannot + std::strerror(errno);
    // It is created with the first record: its folder must take it.
    std::string folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
      return cannot + folder + ": " + std::strerror(errno);
  } else {
    struct stat out {};
    if (::fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == info.st_dev &&
        out.st_ino == info.st_ino)
      return {};  // already open as standard output: left as the shell made it
    if (S_ISDIR(info.st_mode)) return cannot + "it is a folder";
    if (S_ISREG(info.st_mode)) {
      if (auto problem = othersFileProblem(info); !problem.empty())
        return cannot + problem;
    }
    if (::access(path.c_str(), W_OK) != 0) return cannot + std::strerror(errno);
  }
  path_ = path;
  return {};
}

std::string OutputSink::openFile() {
  const int fd =
      ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return std::strerror(errno);
  struct stat info {};
  std::string problem;
  if (::fstat(fd, &info) != 0) {
    problem = std::strerror(errno);
  } else if (S_ISREG(info.st_mode)) {  // a pipe or a device keeps nothing
    problem = makePrivate(fd, info);
    if (problem.empty() && ::ftruncate(fd, 0) != 0)
      problem = std::strerror(errno);
  }
  if (!problem.empty()) {
    ::close(fd);
    return problem;
  }
  fd_ = fd;
  owned_ = true;
  return {};
}

bool OutputSink::put(const std::string& text) {
  if (!path_.empty() && !owned_) {
    name_ = path_;
    if (auto problem = openFile(); !problem.empty()) {
      error_ = name_ + ": " + problem;
      return false;
    }
  }
  status_line::clearBefore(fd_);
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
    closedPipe_ = n < 0 && errno == EPIPE;
    error_ = name_ + ": " + std::strerror(n < 0 ? errno : EIO);
    struct stat info {};
    if (start >= 0 && ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) &&
        ::ftruncate(fd_, start) == 0)
      ::lseek(fd_, start, SEEK_SET);
    return false;
  }
  return true;
}

}  // namespace quillon::cli
