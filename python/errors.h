// Failures as the exceptions of quillon/_errors.py, which fit Python's own
// (OSError, TimeoutError, ValueError) under quillon.Error.
#pragma once

#include <string>

#include "batch_run.h"
#include "py_session.h"

namespace quillon::python {

/// Raises quillon.<kind>(message).
[[noreturn]] void raise(const char* kind, const std::string& message);
/// Raises what `status` of `what` (an operation) means: Ctrl-C as
/// KeyboardInterrupt, `deadlinePassed` as quillon.Timeout, else the
/// class of the session's message for it (the encoder reset after Ctrl-C).
[[noreturn]] void raiseStatus(PySession& session, Status status,
                              const std::string& what, bool deadlinePassed);
/// Ctrl-C: what Python's handler raises, else KeyboardInterrupt.
[[noreturn]] void raiseInterrupt();
[[noreturn]] void raisePortError(const PortOpenError& failure);
[[noreturn]] void raiseInputError(const BatchInputError& failure);
/// Returns when every encoder finished the batch; else raises for the one
/// that ended it (KeyboardInterrupt, a card in doubt first).
void raiseOutcome(const BatchRun::Result& result);
/// Before a wait, with the GIL: Ctrl-C reaches the wait, and one that came
/// already raises now.
void beforeWait();
/// The batch engine's messages go to the "quillon" logger (as warnings)
/// and to the exception of the thread's batch.
void installMessageSink();

}  // namespace quillon::python
