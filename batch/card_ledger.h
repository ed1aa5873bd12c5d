// The bookkeeping of a write batch, behind one interface so that where it
// is kept can change: a journal file on this machine (journal_ledger.h),
// or a queue that several machines share. Every encoder of the batch asks
// it for its next card and tells it each step of that card; the promise
// it keeps is that every card of the batch ends on exactly one card:
//
//  - take() hands each card to one encoder only, in the batch's order;
//  - markSent() is on storage before the card's write frame goes out, so
//    a card the encoder may have written is never lost from sight;
//  - a card sent and never confirmed is in doubt: it is never handed to
//    another encoder (it may be on a card), and is settled at the port
//    that sent it by reading the card there;
//  - markConfirmed() when the card is known good; markUnwritten() when it
//    is known that no card holds it (the frame never went out, the write
//    failed or was read back wrong): it is then handed out again.
//
// Every function may be called from several encoders' threads at once. A
// function that returns a string returns a message when the step could
// not be recorded (a full disk, a lost connection), empty when it was.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "card_records.h"

namespace quillon::batch {

/// One card of the batch.
struct LedgerCard {
  long number = 0;  ///< in the batch, from 1
  Tracks tracks;    ///< the selected tracks' texts
};

/// A card that was sent and never confirmed, and where.
struct CardInDoubt {
  LedgerCard card;
  std::string port;  ///< as given on the command line that sent it
};

class CardLedger {
 public:
  virtual ~CardLedger() = default;

  /// The tracks every card writes (a TrackSelection, 1..7).
  [[nodiscard]] virtual int selection() const = 0;
  /// Cards in the batch, and how many of them are confirmed.
  [[nodiscard]] virtual long total() const = 0;
  [[nodiscard]] virtual long confirmed() const = 0;

  /// Every card in doubt, lowest number first.
  [[nodiscard]] virtual std::vector<CardInDoubt> inDoubt() const = 0;
  /// The next card for the encoder at `port`: none when no card is left
  /// to hand out, or a message.
  virtual std::variant<std::optional<LedgerCard>, std::string> take(
      const std::string& port) = 0;
  /// The card's write frame goes out at `port` next: on storage before
  /// this returns.
  virtual std::string markSent(const LedgerCard& card,
                               const std::string& port) = 0;
  /// The card is on a card, written at `port` (and read back).
  virtual std::string markConfirmed(
      const LedgerCard& card, const std::string& port,
      std::chrono::system_clock::time_point time) = 0;
  /// No card holds the card: it goes back to the cards to hand out.
  virtual std::string markUnwritten(const LedgerCard& card,
                                    const std::string& port) = 0;
  /// A card failed at `port` (written wrong, refused): a figure for those
  /// who watch the batch; the card's own state says nothing new.
  virtual void noteFailure(const std::string& /*port*/) {}
  /// What the operator is told when the batch ended well (a ledger
  /// others share says what they left); empty: nothing more.
  [[nodiscard]] virtual std::string endNote() { return {}; }
};

}  // namespace quillon::batch
