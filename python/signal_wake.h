// Ctrl-C for waits that run without the GIL. Python's own SIGINT handler
// only sets a flag that the interpreter looks at between bytecodes, which
// a thread blocked in poll() never reaches. So while a wait runs, SIGINT
// is chained through a handler of ours that first makes one descriptor
// readable (every wait on an encoder polls it) and then calls Python's,
// which makes KeyboardInterrupt ready for the moment the GIL is back.
#pragma once

namespace quillon::python {

/// Readable once SIGINT came during (or since the start of) a wait.
[[nodiscard]] int signalFd();
/// True when signalFd() is readable.
[[nodiscard]] bool signalCame();
/// Before a wait, with the GIL held: makes SIGINT reach signalFd() (where
/// Python handles SIGINT at all) and forgets a signal Python has already
/// been told of.
void prepareForWait();

}  // namespace quillon::python
