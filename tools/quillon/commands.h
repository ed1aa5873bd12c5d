// The subcommands. Each returns the program's exit code (exit_codes.h).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "card_batch.h"
#include "interrupt_source.h"
#include "session.h"
#include "track_rules.h"

namespace quillon::cli {

/// `format`: text (a table) or json (a line a device).
int runPorts(const GlobalOptions& global, const std::string& format);
int runTest(const GlobalOptions& global, InterruptSource& interrupt);
int runStatus(const GlobalOptions& global, InterruptSource& interrupt);
int runReset(const GlobalOptions& global, InterruptSource& interrupt);
/// `tracks`: track numbers 1..3, each at most once.
int runErase(const GlobalOptions& global, InterruptSource& interrupt,
             const std::vector<int>& tracks);
int runCoercivity(const GlobalOptions& global, InterruptSource& interrupt,
                  const std::string& level);
int runDensity(const GlobalOptions& global, InterruptSource& interrupt,
               int bitsPerInch);

struct ReadOptions {
  std::vector<int> tracks{1, 2, 3};
  long count = 1;
  bool continuous = false;
  std::string format = "text";  ///< text, json or csv
  std::string output;           ///< empty: standard output
  /// Reads after a failed read before the program stops; none: no limit.
  std::optional<long> retries;
  /// Seconds an encoder waits without a card read before it stops (exit
  /// 3); 0: no limit. As long as the operator's program waits; main
  /// makes it 0 for --continuous unless --idle is given.
  long idleSeconds = 20;
};
int runRead(const GlobalOptions& global, InterruptSource& interrupt,
            const ReadOptions& options);

struct WriteOptions {
  std::array<std::optional<std::string>, 3> texts;  ///< as given (UTF-8)
  std::vector<std::string> increments;              ///< "TRACK:STEP"
  std::optional<long> count;
  std::string from;  ///< CSV file
  bool verify = false;
  std::string journal;
  bool resume = false;
  long retries = 3;     ///< failed attempts at one card before the batch stops
  std::string queue;    ///< the queue's URL (--queue)
  std::string batch;    ///< the queue's batch: set, the cards come from it
  std::string station;  ///< this station's name in the queue
  TrackRules rules;     ///< limits and case of the track texts
  bool quiet = false;   ///< --quiet: no notes
  std::string format = "text";  ///< of the cards written: text or json
};
int runWrite(const GlobalOptions& global, InterruptSource& interrupt,
             const WriteOptions& options);
/// The cards of --track1/2/3, --increment, --count or --from, every one
/// checked before anything is sent or stored; or a message.
[[nodiscard]] std::variant<CardBatch, std::string> checkedBatch(
    const WriteOptions& options);

struct QueueOptions {
  std::string url;  ///< --queue; empty: $QUILLON_QUEUE
  std::string batch;
  std::string format = "text";  ///< of status, list, show; csv|json: export
  long card = 0;                ///< of settle and show
  std::string outcome;          ///< of settle: written or unwritten
  std::string kind;             ///< of grant: loader, station or watcher
  std::string role;             ///< of grant
  bool watch = false;           ///< of status: redrawn until done or Ctrl-C
};
/// `given`, else $QUILLON_QUEUE, if it parses as a connection string or
/// URI; else none, after a message (`missing` when neither names one).
[[nodiscard]] std::optional<std::string> checkedQueueUrl(
    const std::string& given, const std::string& missing);
int runQueueInit(const GlobalOptions& global, const QueueOptions& options);
/// Adds batch options.batch of `cards` (their texts, --from ...).
int runQueueLoad(const GlobalOptions& global, const QueueOptions& options,
                 const WriteOptions& cards);
int runQueueStatus(const QueueOptions& options);
int runQueueSettle(const GlobalOptions& global, const QueueOptions& options);
int runQueueGrant(const GlobalOptions& global, const QueueOptions& options);
int runQueuePurge(const GlobalOptions& global, const QueueOptions& options);
/// `action`: pause, resume or cancel.
int runQueueBatchState(const GlobalOptions& global, const QueueOptions& options,
                       const std::string& action);
int runQueueList(const QueueOptions& options);
int runQueueShow(const QueueOptions& options);
int runQueueExport(const QueueOptions& options);

/// Tracks 1..3 as a selection (bit 0 track 1); 0 when a number is out of
/// range or repeated.
[[nodiscard]] int selectionOf(const std::vector<int>& tracks);

}  // namespace quillon::cli
