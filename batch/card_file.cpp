#include "card_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillon::batch {

std::string othersFileProblem(const struct stat& info) {
  if (info.st_uid == ::geteuid()) return {};
  return "it belongs to another user (uid " + std::to_string(info.st_uid) +
         "), who could read the cards: card data goes only into files of "
         "your own";
}

std::string makePrivate(int fd, const struct stat& info) {
  if (auto problem = othersFileProblem(info); !problem.empty()) return problem;
  if ((info.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0)
    return std::string("cannot make it private (mode 0600): ") +
           std::strerror(errno);
  return {};
}

}  // namespace quillon::batch
