// What the program's exit status tells a calling script.
#pragma once

namespace quillon::batch {

enum ExitCode : int {
  kExitDone = 0,
  kExitUsage = 1,          ///< bad arguments or input; nothing was sent
  kExitPort = 2,           ///< the port is missing, in use, not permitted, lost
  kExitDevice = 3,         ///< the encoder reported failure; a batch stopped
  kExitNoReply = 4,        ///< the encoder did not answer
  kExitInterrupted = 130,  ///< Ctrl-C or SIGTERM
  /// Standard output is a pipe nobody reads any more: main ends the
  /// program by SIGPIPE, as a filter ends (the shell sees 141).
  kExitClosedPipe = 141
};

}  // namespace quillon::batch
