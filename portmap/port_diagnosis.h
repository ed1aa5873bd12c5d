// Why a serial device cannot be opened, found by looking at it again after
// an open failed, and what would let this user open it. Both programs ask
// here and word the answer each in its own way, so that they give the same
// reasons.
#pragma once

#include <string>

namespace portmap {

struct PortDiagnosis {
  enum class Cause {
    kNone,          ///< it opens now: the failure lies elsewhere
    kMissing,       ///< no device at the path
    kFolderShut,    ///< `folder`, on the way to it, cannot be entered
    kNoPermission,  ///< this user may not read and write it: `advice`
    kInUse,         ///< another program holds it
    kNotATerminal,  ///< it opens, but is no serial line
    kOther,         ///< open() failed otherwise: `error` (an errno)
  };
  Cause cause = Cause::kNone;
  std::string folder;
  std::string advice;
  int error = 0;
};

/// Looks at `path` as this user does: can it be reached, opened for
/// reading and writing, locked, and is it a terminal.
[[nodiscard]] PortDiagnosis diagnosePort(const std::string& path);

/// What would let this user open `path`; empty when they may already (or
/// it is not there). The device's group is named only when that group may
/// read and write it (and is not root's): join it. Otherwise it says who
/// may (the owner, by the mode) and how to get a device the dialout group
/// may open.
[[nodiscard]] std::string accessAdvice(const std::string& path);

/// Why `path` cannot be opened and what to do about it (missing, a folder
/// on the way shut, no permission, in use, not a terminal), in words: what
/// `quillon ports` and the library's device handles say after an open
/// failed.
[[nodiscard]] std::string portProblem(const std::string& path);

}  // namespace portmap
