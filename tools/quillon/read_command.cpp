// quillon read: card after card into text, JSON Lines or CSV, from one
// encoder or from several at once (a thread each, into one output). A
// failed read is reported and the card is asked for again, as Velmora does.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "batch_progress.h"
#include "card_records.h"
#include "commands.h"
#include "exit_codes.h"
#include "idle_timer.h"
#include "output_sink.h"
#include "plural.h"
#include "quillon/core/status.h"

namespace quillon::cli {

namespace {

// What the encoders' threads share: the output and the count.
struct ReadShared {
  const ReadOptions& options;
  int selection;
  bool named;  // several encoders: each record names its port
  OutputSink& output;
  BatchProgress& progress;
  std::mutex mutex;              // the output, and the counts below
  bool headerWritten;            // CSV's header goes out with the first record
  long read = 0;                 // records of good cards written
  std::atomic<long> started{0};  // cards an encoder has set out to read
  std::atomic<bool> stopped{false};
};

// Writes one record; false when the output cannot take it. The lock is
// held.
bool emit(ReadShared& shared, const CardRecord& record) {
  OutputSink& output = shared.output;
  const std::string& format = shared.options.format;
  if (format == "json") return output.put(jsonLine(record) + "\n");
  if (format == "csv") {
    if (!record.ok) return true;
    if (!shared.headerWritten &&
        !output.put(csvHeader(shared.selection, shared.named)))
      return false;
    shared.headerWritten = true;
    return output.put(csvRow(record));
  }
  return output.put(textLine(record));
}

// What a failed read most likely was.
std::string failedReadCause(Status status) {
  return status == QUILLON_ERR_DEVICE
             ? "no data on the card: a blank card, or swiped the wrong way"
             : "the encoder's reply was not whole: cut short or garbled";
}

// One encoder reading until the count is reached (by all of them), Ctrl-C,
// `idle` running out or a failure of its own. The exit code it would end
// the program with.
int readCards(Session& session, ReadShared& shared, std::size_t index,
              IdleTimer& idle) {
  const ReadOptions& options = shared.options;
  const std::chrono::seconds limit(options.idleSeconds);
  long failuresInARow = 0;
  Status lastFailure = QUILLON_OK;
  bool holding = false;  // set out for a card of the count, not yet read
  // Only a card read whole ends the idle time: a blank card passed again
  // and again is no card.
  idle.restart(limit);
  const auto stopIdle = [&] {
    shared.progress.doing(index, "idle");
    std::string message = "no card read" + session.where() + " for " +
                          counted(options.idleSeconds, "second") + " (--idle " +
                          std::to_string(options.idleSeconds) + "); stopped";
    if (failuresInARow > 0) {
      message += "; the last " + counted(failuresInARow, "read") + " failed (" +
                 failedReadCause(lastFailure) + ")";
    }
    complain(message);
    // The read ended by the timer has sent the reset frame.
    return kExitDevice;
  };
  for (;;) {
    if (shared.stopped) return kExitDone;
    if (session.interrupted()) {
      session.resetAfterInterrupt();
      return kExitInterrupted;
    }
    // Each encoder sets out for a card of the count only while one is
    // left, so that no card is read past it.
    if (!holding && !options.continuous &&
        shared.started.fetch_add(1) >= options.count)
      return kExitDone;
    holding = true;
    long number = 0;
    {
      const std::lock_guard lock(shared.mutex);
      number = shared.read + 1;
    }
    const std::string card = "card " + std::to_string(number);
    CardRecord record;
    record.selection = shared.selection;
    if (shared.named) record.port = session.port();
    shared.progress.doing(index, "waiting for a card");
    const Status status =
        session.device().ReadTracks(shared.selection, record.tracks);
    record.time = std::chrono::system_clock::now();
    const bool timedOut = !session.interrupted() && idle.expired();
    if (status == QUILLON_ERR_ESCAPE && timedOut) return stopIdle();
    if (status == QUILLON_ERR_NO_REPLY) {
      // No card within the wait: go on waiting while the encoder answers.
      const Status alive = session.checkStillAnswers();
      if (alive == QUILLON_OK) continue;
      if (!session.interrupted() && idle.expired()) {
        session.resetAfterInterrupt();
        return stopIdle();
      }
      shared.progress.doing(index, "lost");
      return session.fail(alive, "the read of " + card);
    }
    // A read cut short by the signal is no failed card; a whole one is
    // kept before the signal ends the program.
    if (status == QUILLON_ERR_ESCAPE ||
        (status != QUILLON_OK && session.interrupted())) {
      session.resetAfterInterrupt();
      return kExitInterrupted;
    }
    if (status != QUILLON_OK && status != QUILLON_ERR_DEVICE &&
        status != QUILLON_ERR_NO_STATUS) {
      shared.progress.doing(index, "lost");
      return session.fail(status, "the read of " + card);
    }

    record.ok = status == QUILLON_OK;
    long done = 0;
    {
      const std::lock_guard lock(shared.mutex);
      record.sequence = shared.read + 1;
      if (!emit(shared, record)) {
        shared.stopped = true;
        if (shared.output.closedPipe()) return kExitClosedPipe;  // | head
        session.device().Reset();
        const std::string name = "card " + std::to_string(record.sequence);
        complain((record.ok ? name + " was read but"
                            : "the failed read of " + name) +
                 " cannot be written to " + shared.output.error() +
                 "; stopped");
        return kExitUsage;
      }
      if (record.ok) done = ++shared.read;
    }
    if (record.ok) {
      failuresInARow = 0;
      holding = false;
      idle.restart(limit);
      shared.progress.cardDone(index, done, done, "");
      continue;
    }
    ++failuresInARow;
    lastFailure = status;
    if (!session.options().quiet) {
      complain(card + session.where() + ": read failed " +
               counted(failuresInARow, "time") + " in a row (" +
               failedReadCause(status) + "); pass the card again");
    }
    if (options.retries && failuresInARow > *options.retries) {
      complain(card + session.where() + " failed " +
               counted(failuresInARow, "time") + " in a row; stopped");
      return kExitDevice;
    }
    // The failed read's reply came with the time out: it still ends.
    if (timedOut) return stopIdle();
  }
}

}  // namespace

int runRead(const GlobalOptions& global, InterruptSource& interrupt,
            const ReadOptions& options) {
  const int selection = selectionOf(options.tracks);
  if (selection == 0) {
    complain("--tracks takes 1, 2 and 3, each once (1,2,3)");
    return kExitUsage;
  }
  if (selection == 5) {
    complain(
        "tracks 1 and 3 cannot be read without track 2 (the encoder "
        "has no such read): use --tracks 1,2,3");
    return kExitUsage;
  }
  OutputSink output;
  if (const auto problem = output.choose(options.output); !problem.empty()) {
    complain(problem);
    return kExitUsage;
  }
  // Every encoder is opened before any is sent a frame. The output is
  // opened with its first record: only once an encoder has answered is
  // an earlier file emptied.
  std::vector<std::unique_ptr<Session>> sessions;
  for (const std::string& port : global.ports) {
    sessions.push_back(std::make_unique<Session>(global, port, interrupt));
    if (const int code = sessions.back()->open(); code != kExitDone)
      return code;
  }
  // Each encoder's waits also end when its idle time runs out.
  std::vector<std::unique_ptr<IdleTimer>> timers;
  for (auto& session : sessions) {
    timers.push_back(std::make_unique<IdleTimer>(interrupt.fd()));
    if (!timers.back()->ready()) {
      complain("cannot set up the idle timer");
      return kExitUsage;
    }
    session->endWaitsOn(timers.back()->fd());
  }
  const bool named = sessions.size() > 1;
  BatchProgress progress(global.quiet, global.ports,
                         options.continuous ? 0 : options.count, "read");
  ReadShared shared{
      options, selection, named, output, progress, {}, options.format != "csv"};

  std::vector<int> codes(sessions.size(), kExitDone);
  const auto readAt = [&](std::size_t i) {
    codes[i] = readCards(*sessions[i], shared, i, *timers[i]);
  };
  if (!named) {
    readAt(0);
  } else {
    std::vector<std::thread> encoders;
    for (std::size_t i = 0; i < sessions.size(); ++i)
      encoders.emplace_back(readAt, i);
    for (auto& encoder : encoders) encoder.join();
  }
  const auto ended = [&](int code) {
    return std::ranges::find(codes, code) != codes.end();
  };
  if (ended(kExitInterrupted)) {
    if (!global.quiet)
      complain(named ? "interrupted; every encoder was reset"
                     : "interrupted; the encoder" + sessions[0]->where() +
                           " was reset");
    return kExitInterrupted;
  }
  for (const int code :
       {kExitClosedPipe, kExitUsage, kExitPort, kExitNoReply, kExitDevice}) {
    if (ended(code)) return code;
  }
  return kExitDone;
}

}  // namespace quillon::cli
