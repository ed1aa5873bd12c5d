// One encoder's part of a write batch, run on a thread of its own: it
// settles the cards in doubt that were sent at its port, then takes card
// after card from the ledger until none is left, and retries a failed or
// mismatched card itself. Whatever ends it (the batch done, Ctrl-C, its
// line lost, a card failing too often) ends only this encoder, except a
// step the ledger cannot record, which stops the whole batch.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "card_ledger.h"
#include "encoder_session.h"

namespace quillon::batch {

/// What every encoder of the batch shares.
struct BatchShared {
  BatchShared(CardLedger& l, ProgressObserver& p, ResultSink& r)
      : ledger(l), progress(p), results(r) {}

  CardLedger& ledger;
  ProgressObserver& progress;
  ResultSink& results;  ///< "card 3 written  track2=...", one at a time
  /// The result of a confirmed card (its record, the port set) for
  /// `results`; `found`: confirmed by reading the card passed, not
  /// written now. Empty: nothing is put.
  std::function<std::string(const CardRecord&, bool found)> resultLine;
  std::mutex resultsMutex;
  std::atomic<bool> stopped{false};  ///< no encoder takes another card
  bool quiet = false;
  bool verify = false;
  /// How a card left in doubt is settled later ("--resume asks for it
  /// there"); empty: it cannot be.
  std::string settleHint;
  /// How a stopped batch goes on ("--resume goes on with it"), or empty.
  std::string goOnHint;
  long retries = 3;
  int shownTrack = 0;  ///< the counted track, for progress
};

/// How an encoder's part ended.
struct EncoderOutcome {
  int code = 0;  ///< the exit code it would end the program with
  /// The card it may have written but could not confirm.
  std::optional<LedgerCard> inDoubt;
};

class BatchEncoder {
 public:
  /// Encoder `index` of the batch, on its open session.
  BatchEncoder(EncoderSession& session, BatchShared& shared, std::size_t index);

  /// Settles `inDoubt` (cards sent at this port), then writes cards until
  /// the ledger has none left.
  EncoderOutcome run(const std::vector<LedgerCard>& inDoubt);

  /// "card 7 may have been written at COM1[: <settleHint>]"
  [[nodiscard]] static std::string doubtNote(const LedgerCard& card,
                                             const std::string& port,
                                             const std::string& settleHint);

 private:
  /// Empty: the card is confirmed, go on; else how this encoder ended.
  using Step = std::optional<EncoderOutcome>;

  /// Reads the card passed at this encoder: card `card`'s texts confirm
  /// it, a whole reply of other texts (or none) has it written anew.
  Step settle(const LedgerCard& card);

  /// What a whole read reply showed of the card passed.
  struct Passed {
    bool readable = false;  ///< false: the encoder's 'q', no texts
    std::string differs;    ///< what differs from the card meant
    [[nodiscard]] bool holdsCard() const { return readable && differs.empty(); }
    [[nodiscard]] std::string describe() const;
  };
  /// Reads the card passed until a whole reply says what it holds. A reply
  /// that is not whole says nothing: the operator is asked for the card
  /// again, up to the retries, after which this encoder ends with the card
  /// in doubt. An outcome when the read cannot go on.
  std::variant<Passed, EncoderOutcome> readPassed(const LedgerCard& card,
                                                  const std::string& what);
  /// Asks the operator to pass card `card` again, `why` after the port.
  void askAgain(const LedgerCard& card, const std::string& why);
  /// Writes the card (and reads it back) until it is confirmed.
  Step write(const LedgerCard& card);
  /// Reads the card back: empty when it holds `card`, else what differs;
  /// an outcome when the read cannot go on.
  std::variant<std::string, EncoderOutcome> readBack(const LedgerCard& card,
                                                     const std::string& what);
  Step confirm(const LedgerCard& card, const char* how);

  EncoderOutcome ended(int code, std::optional<LedgerCard> inDoubt = {});
  EncoderOutcome interrupted(std::optional<LedgerCard> inDoubt);
  /// Ends on a status a read or write could not get past, the card in
  /// doubt named in the message.
  EncoderOutcome failed(Status status, const std::string& what,
                        const LedgerCard& card);
  EncoderOutcome ledgerFailed(const std::string& message,
                              std::optional<LedgerCard> inDoubt);
  void doing(const std::string& what);

  EncoderSession& session_;
  BatchShared& shared_;
  std::size_t index_;
  int readSelection_;
};

}  // namespace quillon::batch
