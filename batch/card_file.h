// Files that hold card data (the records of --output, the journal) are
// kept from other users: created 0600, an existing file of the user's is
// brought to 0600, and a file of another user's is refused, since its
// owner could read every card written into it.
#pragma once

#include <sys/stat.h>

#include <string>

namespace quillon::batch {

/// Why the existing file `info` may not take card data (it is another
/// user's), or empty.
[[nodiscard]] std::string othersFileProblem(const struct stat& info);

/// For a regular file open as `fd` and described by `info`: the same
/// check, then the file brought to 0600. Why it failed, or empty.
[[nodiscard]] std::string makePrivate(int fd, const struct stat& info);

}  // namespace quillon::batch
