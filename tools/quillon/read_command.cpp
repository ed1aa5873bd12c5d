// quillon read: card after card into text, JSON Lines or CSV. A failed
// read is reported and the card is asked for again, as Velmora does.
#include "card_records.h"
#include "commands.h"
#include "exit_codes.h"
#include "output_sink.h"
#include "quillon/core/status.h"

namespace quillon::cli {

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
  Session session(global, interrupt);
  if (const int code = session.open(); code != kExitDone) return code;

  // The output is opened with its first record: only once the encoder
  // has answered is an earlier file emptied.
  bool headerWritten = options.format != "csv";
  const auto emit = [&](const CardRecord& record) {
    if (options.format == "json") return output.put(jsonLine(record) + "\n");
    if (options.format == "csv") {
      if (!record.ok) return true;
      if (!headerWritten && !output.put(csvHeader(selection))) return false;
      headerWritten = true;
      return output.put(csvRow(record));
    }
    return output.put(textLine(record));
  };
  Progress progress(global.quiet);
  const long total = options.continuous ? 0 : options.count;
  long read = 0;
  long failuresInARow = 0;
  while (options.continuous || read < options.count) {
    if (session.interrupted()) return session.stopOnInterrupt();
    const std::string card = "card " + std::to_string(read + 1);
    CardRecord record;
    record.sequence = read + 1;
    record.selection = selection;
    const Status status = session.device().ReadTracks(selection, record.tracks);
    record.time = std::chrono::system_clock::now();
    if (status == QUILLON_ERR_NO_REPLY) {
      // No card within the wait: go on waiting while the encoder answers.
      const Status alive = session.checkStillAnswers();
      if (alive == QUILLON_OK) continue;
      return session.fail(alive, "the read of " + card);
    }
    if (status != QUILLON_OK && status != QUILLON_ERR_DEVICE &&
        status != QUILLON_ERR_NO_STATUS)
      return session.fail(status, "the read of " + card);

    record.ok = status == QUILLON_OK;
    if (!emit(record)) {
      if (output.closedPipe()) return kExitClosedPipe;  // as `| head` wants
      session.device().Reset();
      complain(
          (record.ok ? card + " was read but" : "the failed read of " + card) +
          " cannot be written to " + output.error() + "; stopped");
      return kExitUsage;
    }
    if (record.ok) {
      ++read;
      failuresInARow = 0;
      progress.card(read, total, "read", "");
      continue;
    }
    ++failuresInARow;
    if (!global.quiet) complain(card + ": read failed; pass the card again");
    if (options.retries && failuresInARow > *options.retries) {
      complain(card + " failed " + std::to_string(failuresInARow) +
               " times in a row; stopped");
      return kExitDevice;
    }
  }
  return kExitDone;
}

}  // namespace quillon::cli
