// The batch's bookkeeping in a journal file on this machine (journal.h),
// or in memory only when the batch has no journal. The journal's lines
// are the ledger's state: read back, they give the confirmed cards and
// the cards in doubt; every other card is handed out again, in order.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "card_batch.h"
#include "card_ledger.h"
#include "journal.h"

namespace quillon::batch {

class JournalLedger : public CardLedger {
 public:
  /// The ledger of `batch` over `journal` (taken, not yet written; null:
  /// none). A journal that already holds cards needs `resume`; its cards
  /// must be this batch's. A message when it does not fit.
  [[nodiscard]] static std::variant<std::unique_ptr<JournalLedger>, std::string>
  open(CardBatch batch, Journal* journal, bool resume);

  [[nodiscard]] int selection() const override { return selection_; }
  [[nodiscard]] long total() const override { return total_; }
  [[nodiscard]] long confirmed() const override;
  [[nodiscard]] std::vector<CardInDoubt> inDoubt() const override;
  std::variant<std::optional<LedgerCard>, std::string> take(
      const std::string& port) override;
  std::string markSent(const LedgerCard& card,
                       const std::string& port) override;
  std::string markConfirmed(
      const LedgerCard& card, const std::string& port,
      std::chrono::system_clock::time_point time) override;
  std::string markUnwritten(const LedgerCard& card,
                            const std::string& port) override;

 private:
  enum class State : unsigned char { Pending, Taken, InDoubt, Confirmed };

  JournalLedger(CardBatch batch, Journal* journal);
  /// Card `number`'s texts; the lock is held.
  LedgerCard cardLocked(long number) const;
  State& stateOf(long number) { return states_[std::size_t(number - 1)]; }

  mutable std::mutex mutex_;
  mutable CardBatch batch_;  // at() counts on from where it was
  Journal* journal_;
  int selection_;
  long total_;
  long confirmed_ = 0;
  std::vector<State> states_;
  std::vector<std::string> ports_;  // where each card in doubt was sent
  std::size_t next_ = 0;            // no pending card below it but ...
  std::set<long> handBack_;         // ... these, handed out again
};

}  // namespace quillon::batch
