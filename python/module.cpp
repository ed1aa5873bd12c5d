// The `quillon` Python module's native part (quillon._quillon): an Encoder
// over the library's core and write batches over the batch engine, the
// same as the `quillon` program's. The Python package around it
// (quillon/) holds the exception classes, Card and the friendly wrappers.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <thread>

#include "batch_run.h"
#include "errors.h"
#include "py_session.h"
#include "quillon_batch.h"
#include "serial_devices.h"
#include "signal_wake.h"

namespace py = pybind11;
using namespace quillon;
using namespace quillon::python;

namespace {

using Clock = std::chrono::steady_clock;

// The Encoder as Python holds it: closed once `session` is gone.
struct Encoder {
  std::unique_ptr<PySession> session;
  PySession& open() {
    if (!session) raise("Error", "the encoder is closed");
    return *session;
  }
};

// Closes the port once an operation another thread runs on it has ended.
void close(Encoder& encoder) {
  if (!encoder.session) return;
  {
    py::gil_scoped_release release;
    const std::lock_guard lock(encoder.session->mutex());
  }
  encoder.session.reset();
}

// Runs `op` on the encoder without the GIL, its waits ended by Ctrl-C or
// `deadline`. The status, and whether the deadline ended it.
template <class Op>
std::pair<Status, bool> waitFor(
    PySession& s, Op op, std::optional<Clock::time_point> deadline = {}) {
  beforeWait();
  py::gil_scoped_release release;
  const std::lock_guard lock(s.mutex());
  s.setDeadline(deadline);
  const Status status = op(s);
  const bool late = deadline && s.deadlinePassed();
  s.setDeadline(std::nullopt);
  return {status, late};
}

// One operation that answers at once: raises unless it went well.
void simple(PySession& s, const char* what, Status (*op)(EncoderDevice&, int),
            int argument) {
  const auto [status, late] = waitFor(
      s, [&](PySession& session) { return op(session.device(), argument); });
  if (status != QUILLON_OK) raiseStatus(s, status, what, late);
}

int selectionOf(const std::vector<int>& tracks, const char* what) {
  int selection = 0;
  for (const int track : tracks) {
    const int bit = track >= 1 && track <= 3 ? 1 << (track - 1) : 0;
    if (bit == 0 || (selection & bit) != 0) {
      throw py::value_error(std::string(what) +
                            " takes tracks 1, 2 and 3, each at most once");
    }
    selection |= bit;
  }
  if (selection == 0)
    throw py::value_error(std::string(what) + " takes a track");
  return selection;
}

py::object readCard(Encoder& encoder, const std::vector<int>& tracks,
                    std::optional<double> timeout) {
  PySession& s = encoder.open();
  const int selection = selectionOf(tracks, "read");
  if (selection == 5) {
    throw py::value_error(
        "tracks 1 and 3 cannot be read without track 2 (the encoder has no "
        "such read): read (1, 2, 3)");
  }
  std::optional<Clock::time_point> deadline;
  if (timeout) {
    deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(*timeout));
  }
  batch::Tracks tracks3;
  Status alive = QUILLON_OK;
  const auto [status, late] = waitFor(
      s,
      [&](PySession& session) {
        Status got;
        // No card within the device's wait: wait again while it answers.
        while ((got = session.device().ReadTracks(selection, tracks3)) ==
               QUILLON_ERR_NO_REPLY) {
          alive = session.checkStillAnswers();
          if (alive != QUILLON_OK) break;
        }
        return got;
      },
      deadline);
  if (status == QUILLON_ERR_NO_REPLY) raiseStatus(s, alive, "the read", late);
  if (status == QUILLON_ERR_DEVICE)
    raise("EncoderFailure", "the card could not be read (blank?)");
  if (status != QUILLON_OK) raiseStatus(s, status, "the read", late);
  py::object none = py::none();
  auto track = [&](int n) -> py::object {
    if (!protocol::selectionHasTrack(selection, n)) return none;
    return py::bytes(tracks3[static_cast<std::size_t>(n - 1)]);
  };
  return py::module_::import("quillon._card")
      .attr("Card")(track(1), track(2), track(3));
}

// A batch of the card queue: its server's URL, its name, this station's
// name (empty: the machine's).
using QueueBatch = std::array<std::string, 3>;

// Runs `run` over `sessions` without the GIL, then raises for how it
// ended; the batch's total and confirmed cards.
py::tuple finish(BatchRun& run, const std::vector<PySession*>& sessions) {
  beforeWait();
  BatchRun::Result result;
  try {
    py::gil_scoped_release release;
    std::vector<std::unique_lock<std::mutex>> locks;
    for (PySession* s : sessions) locks.emplace_back(s->mutex());
    result = run.writeOn(sessions);
  } catch (const BatchInputError& failure) {
    raiseInputError(failure);
  }
  raiseOutcome(result);
  return py::make_tuple(result.total, result.confirmed);
}

void writeCard(Encoder& encoder, const TrackTexts& texts, bool verify,
               long retries) {
  PySession& s = encoder.open();
  try {
    BatchRun run(texts, {}, 1);
    run.verify = verify;
    run.retries = retries;
    finish(run, {&s});
  } catch (const BatchInputError& failure) {
    raiseInputError(failure);
  }
}

py::tuple writeBatch(const std::vector<Encoder*>& encoders,
                     const std::optional<TrackTexts>& texts,
                     const std::vector<std::string>& increments, long count,
                     const std::optional<std::vector<TrackTexts>>& cards,
                     const std::optional<std::string>& journal, bool resume,
                     const std::optional<QueueBatch>& queue, bool verify,
                     long retries, const py::object& progress) {
  std::vector<PySession*> sessions;
  for (Encoder* e : encoders) {
    if (e == nullptr) throw py::type_error("encoders are quillon.Encoder");
    sessions.push_back(&e->open());
  }
  if (sessions.empty()) throw py::value_error("a batch needs an encoder");
  try {
    std::optional<BatchRun> run;
    if (queue) {
      std::vector<std::string> ports;
      for (PySession* s : sessions) ports.push_back(s->port());
      beforeWait();
      try {
        py::gil_scoped_release release;
        run.emplace((*queue)[0], (*queue)[1], (*queue)[2], ports);
      } catch (const QueueStopped&) {
        raiseInterrupt();
      }
    } else if (cards) {
      run.emplace(*cards);
    } else {
      run.emplace(texts.value_or(TrackTexts{}), increments, count);
    }
    run->verify = verify;
    run->retries = retries;
    if (journal) run->keepIn(*journal, resume);
    // The callback's exception stops the batch and is raised at its end.
    std::optional<py::error_already_set> raised;
    if (!progress.is_none()) {
      run->onCard = [&](long done, long total, long number,
                        const std::string& port) {
        const py::gil_scoped_acquire gil;
        if (raised) return false;
        try {
          progress(done, total, number, port);
          return true;
        } catch (py::error_already_set& error) {
          raised = std::move(error);
          return false;
        }
      };
    }
    py::tuple counts = finish(*run, sessions);
    if (raised) throw std::move(*raised);
    return counts;
  } catch (const BatchInputError& failure) {
    raiseInputError(failure);
  }
}

py::list listPorts() {
  py::list ports;
  for (const auto& device : portmap::serialDevices()) {
    py::dict port;
    port["path"] = device.path;
    port["aliases"] =
        std::vector<std::string>(device.aliases.begin(), device.aliases.end());
    port["com"] = device.comNames;
    port["access"] = device.accessAdvice;
    ports.append(port);
  }
  return ports;
}

}  // namespace

PYBIND11_MODULE(_quillon, m) {
  m.doc() = "The native part of the quillon module (see help(quillon)).";
  installMessageSink();

  m.def("_ports", &listPorts);

  py::class_<Encoder>(m, "Encoder", R"(One encoder on a serial port.

Encoder(port, baud=9600) opens `port` (a device path, "COMn" or n) for
this program alone; use it as a context manager so that it is closed.
Every wait ends as soon as the encoder's reply is whole, or on Ctrl-C
(KeyboardInterrupt, with the encoder reset). Waits release the GIL: other
threads run meanwhile, and several encoders may be driven from several
threads (one thread at a time per encoder).

Iterating over an Encoder reads card after card (read()) until Ctrl-C; a
card that could not be read is asked for again (a warning on the
"quillon" logger), as `quillon read` does.)")
      .def(py::init([](const py::object& port, int baud) {
             if (baud <= 0) throw py::value_error("baud must be positive");
             try {
               return Encoder{std::make_unique<PySession>(
                   py::str(port).cast<std::string>(), baud)};
             } catch (const PortOpenError& failure) {
               raisePortError(failure);
             } catch (const std::invalid_argument& badName) {
               raise("PortNameError", badName.what());
             }
           }),
           py::arg("port"), py::arg("baud") = 9600)
      .def_property_readonly(
          "port", [](Encoder& e) { return e.open().port(); },
          "The port as given.")
      .def_property_readonly(
          "path", [](Encoder& e) { return e.open().path(); },
          "The device path the port names.")
      .def_property_readonly(
          "closed", [](const Encoder& e) { return !e.session; },
          "True once close() was called.")
      .def(
          "close", [](Encoder& e) { close(e); },
          "Closes the port; the Encoder is of no further use.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](Encoder& e, py::args) {
             close(e);
             return false;
           })
      .def(
          "test",
          [](Encoder& e) {
            simple(
                e.open(), "the line test",
                [](EncoderDevice& d, int) { return d.TestCommunication(); }, 0);
          },
          "Tests the line to the encoder; raises when it does not answer.")
      .def(
          "status",
          [](Encoder& e) {
            PySession& s = e.open();
            const auto [status, late] = waitFor(
                s, [](PySession& x) { return x.device().QueryStatus(); });
            if (status == QUILLON_OK || status == QUILLON_ERR_DEVICE)
              return status == QUILLON_OK;
            raiseStatus(s, status, "the status query", late);
          },
          "The encoder's status: True for success, False for its failure "
          "status.")
      .def(
          "reset",
          [](Encoder& e) {
            simple(
                e.open(), "the reset",
                [](EncoderDevice& d, int) { return d.Reset(); }, 0);
          },
          "Resets the encoder: an operation waiting for a card ends.")
      .def(
          "erase",
          [](Encoder& e, const std::vector<int>& tracks) {
            const int code =
                protocol::eraseCodeOf(selectionOf(tracks, "erase"));
            simple(
                e.open(), "the erase",
                [](EncoderDevice& d, int c) { return d.EraseCard(c); }, code);
          },
          py::arg("tracks"),
          "Erases the given tracks (1, 2, 3) of the card passed next.")
      .def(
          "coercivity",
          [](Encoder& e, const std::string& level) {
            if (level != "high" && level != "low")
              throw py::value_error("coercivity is \"high\" or \"low\"");
            simple(
                e.open(), "the coercivity setting",
                [](EncoderDevice& d, int high) {
                  return d.SetCoercivity(high);
                },
                level == "high" ? 1 : 0);
          },
          py::arg("level"), "Sets the coercivity: \"high\" or \"low\".")
      .def(
          "density",
          [](Encoder& e, int bitsPerInch) {
            if (bitsPerInch != 210 && bitsPerInch != 75)
              throw py::value_error("track 2's density is 210 or 75 (BPI)");
            simple(
                e.open(), "the density setting",
                [](EncoderDevice& d, int letter) {
                  return d.SetTrack2Density(letter);
                },
                bitsPerInch == 210 ? 'H' : 'L');
          },
          py::arg("bpi"), "Sets track 2's density: 210 or 75 bits per inch.")
      .def("read", &readCard, py::arg("tracks") = std::vector<int>{1, 2, 3},
           py::arg("timeout") = py::none(),
           R"(Reads the card passed next: a quillon.Card.

`timeout` in seconds (None: wait until a card comes); TimeoutError when
none came, the encoder then reset. EncoderFailure when the encoder could
not read the card (blank?).)")
      .def("_write", &writeCard, py::arg("texts"), py::arg("verify"),
           py::arg("retries"));

  m.def("_write_batch", &writeBatch, py::arg("encoders"), py::arg("texts"),
        py::arg("increments"), py::arg("count"), py::arg("cards"),
        py::arg("journal"), py::arg("resume"), py::arg("queue"),
        py::arg("verify"), py::arg("retries"), py::arg("progress"));
}
