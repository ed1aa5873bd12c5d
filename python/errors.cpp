#include "errors.h"

#include <pybind11/pybind11.h>

#include <cerrno>

#include "signal_wake.h"

namespace py = pybind11;

namespace quillon::python {

namespace {

py::object errorClass(const char* kind) {
  return py::module_::import("quillon._errors").attr(kind);
}

[[noreturn]] void raiseObject(const py::object& type, const py::object& error) {
  PyErr_SetObject(type.ptr(), error.ptr());
  throw py::error_already_set();
}

const char* kindOf(int code, Status status) {
  switch (code) {
    case batch::kExitNoReply: return "Timeout";
    case batch::kExitDevice:
      return status == QUILLON_ERR_DEVICE ? "EncoderFailure" : "ReplyError";
    case batch::kExitPort: return "PortError";
    default: return "Error";
  }
}

[[noreturn]] void raiseKind(const char* kind, const std::string& message,
                            const std::string& path) {
  if (std::string_view(kind) == "PortError") {
    const py::object type = errorClass(kind);
    raiseObject(type, type(EIO, message, path));
  }
  raise(kind, message);
}

}  // namespace

void raiseInterrupt() {
  // Python's handler (or the script's) says what Ctrl-C is; a thread
  // other than the main one is told by KeyboardInterrupt itself.
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  PyErr_SetNone(PyExc_KeyboardInterrupt);
  throw py::error_already_set();
}

void raise(const char* kind, const std::string& message) {
  const py::object type = errorClass(kind);
  raiseObject(type, type(message));
}

void raiseStatus(PySession& session, Status status, const std::string& what,
                 bool deadlinePassed) {
  if (status == QUILLON_ERR_ESCAPE && deadlinePassed && !signalCame())
    raise("Timeout", "no card within the timeout; the encoder was reset");
  const int code = session.fail(status, what);
  if (code == batch::kExitInterrupted) raiseInterrupt();
  raiseKind(kindOf(code, status), session.lastMessage(), session.path());
}

void raisePortError(const PortOpenError& failure) {
  const py::object type = errorClass("PortError");
  raiseObject(type, type(failure.error, failure.message, failure.path));
}

void raiseInputError(const BatchInputError& failure) {
  if (failure.track == 0) raise("BatchError", failure.message);
  const py::object type = errorClass("TrackTextError");
  raiseObject(type, type(failure.message, failure.track));
}

void raiseOutcome(const BatchRun::Result& result) {
  for (const auto& ended : result.encoders) {
    if (ended.code == batch::kExitInterrupted) raiseInterrupt();
  }
  for (const auto& ended : result.encoders) {
    if (!ended.inDoubt) continue;
    const auto& card = ended.inDoubt->tracks;
    py::object tracks[3];
    for (std::size_t i = 0; i < 3; ++i) {
      // A written text is never empty: empty is a track not written.
      tracks[i] = card[i].empty() ? py::object(py::none())
                                  : py::object(py::bytes(card[i]));
    }
    const py::object cardObject =
        py::module_::import("quillon._card")
            .attr("Card")(tracks[0], tracks[1], tracks[2]);
    const std::string note = batch::BatchEncoder::doubtNote(
        *ended.inDoubt, ended.port, result.settleHint);
    const py::object type = errorClass("CardInDoubt");
    // The engine's message names the card already where it says why.
    const bool named =
        ended.message.find("may have been written") != std::string::npos;
    raiseObject(
        type,
        type(named ? ended.message
                   : ended.message + (ended.message.empty() ? "" : "; ") + note,
             ended.inDoubt->number, cardObject, ended.port));
  }
  for (const int code : {batch::kExitUsage, batch::kExitPort,
                         batch::kExitNoReply, batch::kExitDevice}) {
    for (const auto& ended : result.encoders) {
      if (ended.code != code) continue;
      raiseKind(kindOf(code, ended.status), ended.message, ended.port);
    }
  }
}

void beforeWait() {
  prepareForWait();
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

void installMessageSink() {
  batch::setMessageSink([](std::string_view message) {
    noteMessage(message);
    const py::gil_scoped_acquire gil;
    try {
      py::module_::import("logging").attr("getLogger")("quillon").attr(
          "warning")(std::string(message));
    } catch (py::error_already_set& error) {
      error.discard_as_unraisable(__func__);
    }
  });
}

}  // namespace quillon::python
