// A write batch from Python, on the batch engine exactly as `quillon write`
// runs it: a counted series or a list of cards, kept in a journal file
// (the same format, so either program resumes the other's) or in memory,
// over one encoder or several (a thread each). Runs without the GIL.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py_session.h"
#include "quillon_batch.h"

namespace quillon::python {

/// Tracks 1..3 as card bytes; none: not written.
using TrackTexts = std::array<std::optional<std::string>, 3>;

/// Input that makes no batch, or a journal that does not fit it: nothing
/// was sent. `track` names the track a text is wrong on (0: none).
struct BatchInputError {
  int track = 0;
  std::string message;
};

/// Ctrl-C while the queue's server was waited for: nothing was sent.
struct QueueStopped {};

/// Keeps the engine's messages of the calling thread (for the exception
/// that reports how its encoder ended); none when not in a batch.
void noteMessage(std::string_view message);

class BatchRun {
 public:
  /// Texts counted up by increments ("TRACK:STEP"), `count` cards.
  BatchRun(const TrackTexts& texts, const std::vector<std::string>& increments,
           long count);
  /// One card each.
  explicit BatchRun(const std::vector<TrackTexts>& cards);
  /// Batch `batch` of the card queue at `url`, worked as `station` (empty:
  /// this machine's name, as `quillon write --batch` names it) at `ports`.
  /// Throws BatchInputError, or QueueStopped when Ctrl-C came first.
  BatchRun(const std::string& url, const std::string& batch,
           const std::string& station, const std::vector<std::string>& ports);
  ~BatchRun();
  BatchRun(const BatchRun&) = delete;
  BatchRun& operator=(const BatchRun&) = delete;

  /// Keeps the batch in the journal at `path`; `resume` to go on with one
  /// that already holds cards of it.
  void keepIn(const std::string& path, bool resume);

  bool verify = false;
  long retries = 3;
  /// After each confirmed card: (done, total, number, port); false stops
  /// the batch after the cards under way.
  std::function<bool(long, long, long, const std::string&)> onCard;

  struct Ended {
    std::string port;
    int code = 0;  ///< exit_codes.h
    std::optional<batch::LedgerCard> inDoubt;
    std::string message;  ///< how it ended, in the engine's words
    /// The status it ended on; the encoder's failure status also for a
    /// card that failed (or read back wrong) too often.
    Status status = QUILLON_ERR_DEVICE;
  };
  struct Result {
    long total = 0;
    long confirmed = 0;
    std::vector<Ended> encoders;
    std::string settleHint;
  };
  /// Settles the cards in doubt and writes the rest over `sessions`.
  /// Throws BatchInputError (nothing sent) when the journal's cards in
  /// doubt were sent at a port not among them.
  Result writeOn(const std::vector<PySession*>& sessions);

 private:
  std::unique_ptr<batch::CardBatch> batch_;
  batch::Journal journal_;
  bool journalled_ = false;
  std::unique_ptr<batch::CardLedger> ledger_;
  bool queued_ = false;
  void open(bool resume);
};

}  // namespace quillon::python
