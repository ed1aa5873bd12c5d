#include "journal_ledger.h"

#include <algorithm>

#include "card_text.h"
#include "encoder_protocol.h"

namespace quillon::batch {

namespace {

std::string trackName(int track) { return "track " + std::to_string(track); }

}  // namespace

JournalLedger::JournalLedger(CardBatch batch, Journal* journal)
    : batch_(std::move(batch)),
      journal_(journal),
      selection_(batch_.selection()),
      total_(static_cast<long>(batch_.size())),
      states_(batch_.size(), State::Pending),
      ports_(batch_.size()) {}

std::variant<std::unique_ptr<JournalLedger>, std::string> JournalLedger::open(
    CardBatch batch, Journal* journal, bool resume) {
  std::unique_ptr<JournalLedger> ledger(
      new JournalLedger(std::move(batch), journal));
  if (journal == nullptr) return ledger;
  const JournalText& text = journal->contents();
  if (text.confirmed.empty() && text.inDoubt.empty()) return ledger;
  if (!resume) {
    return "the journal " + journal->path() +
           " already holds cards of a batch: add --resume to go on with "
           "that batch, or name a new journal";
  }
  const auto outside = [&](long card) {
    return card < 1 || card > ledger->total_;
  };
  const auto notOurs = [&](long card) {
    return "the journal's card " + std::to_string(card) +
           " is not one of this batch's " + std::to_string(ledger->total_);
  };
  // The texts are checked in the batch's order, which the batch counts
  // cheaply.
  std::vector<const JournalEntry*> confirmed;
  for (const JournalEntry& entry : text.confirmed) {
    if (outside(entry.card)) return notOurs(entry.card);
    confirmed.push_back(&entry);
  }
  std::stable_sort(
      confirmed.begin(), confirmed.end(),
      [](const auto* a, const auto* b) { return a->card < b->card; });
  for (const JournalEntry* entry : confirmed) {
    const Tracks& planned =
        ledger->batch_.at(static_cast<std::size_t>(entry->card - 1));
    for (int track = 1; track <= 3; ++track) {
      if (!protocol::selectionHasTrack(ledger->selection_, track)) continue;
      const auto i = static_cast<std::size_t>(track - 1);
      if (planned[i] != entry->tracks[i]) {
        return "the journal does not belong to this batch: its card " +
               std::to_string(entry->card) + " has " + trackName(track) +
               " \"" + escapedForDisplay(entry->tracks[i]) +
               "\", this batch \"" + escapedForDisplay(planned[i]) + "\"";
      }
    }
    State& state = ledger->stateOf(entry->card);
    if (state != State::Confirmed) ++ledger->confirmed_;
    state = State::Confirmed;
  }
  for (const auto& [card, port] : text.inDoubt) {
    if (outside(card)) return notOurs(card);
    ledger->stateOf(card) = State::InDoubt;
    ledger->ports_[static_cast<std::size_t>(card - 1)] = port;
  }
  return ledger;
}

long JournalLedger::confirmed() const {
  std::lock_guard lock(mutex_);
  return confirmed_;
}

LedgerCard JournalLedger::cardLocked(long number) const {
  return {number, batch_.at(static_cast<std::size_t>(number - 1))};
}

std::vector<CardInDoubt> JournalLedger::inDoubt() const {
  std::lock_guard lock(mutex_);
  std::vector<CardInDoubt> cards;
  for (std::size_t i = 0; i < states_.size(); ++i) {
    if (states_[i] != State::InDoubt) continue;
    cards.push_back({cardLocked(static_cast<long>(i + 1)), ports_[i]});
  }
  return cards;
}

std::variant<std::optional<LedgerCard>, std::string> JournalLedger::take(
    const std::string&) {
  std::lock_guard lock(mutex_);
  long number = 0;
  if (!handBack_.empty()) {
    number = *handBack_.begin();
    handBack_.erase(handBack_.begin());
  } else {
    while (next_ < states_.size() && states_[next_] != State::Pending) ++next_;
    if (next_ == states_.size()) return std::optional<LedgerCard>();
    number = static_cast<long>(++next_);
  }
  stateOf(number) = State::Taken;
  return std::optional(cardLocked(number));
}

std::string JournalLedger::markSent(const LedgerCard& card,
                                    const std::string& port) {
  std::lock_guard lock(mutex_);
  if (journal_ != nullptr) {
    auto problem = journal_->appendStep(card.number, CardStep::Sent, port,
                                        std::chrono::system_clock::now());
    if (!problem.empty()) return problem;
  }
  stateOf(card.number) = State::InDoubt;
  ports_[static_cast<std::size_t>(card.number - 1)] = port;
  return {};
}

std::string JournalLedger::markConfirmed(
    const LedgerCard& card, const std::string& port,
    std::chrono::system_clock::time_point time) {
  std::lock_guard lock(mutex_);
  if (journal_ != nullptr) {
    CardRecord record;
    record.sequence = card.number;
    record.time = time;
    record.selection = selection_;
    record.tracks = card.tracks;
    record.port = port;
    if (auto problem = journal_->append(record); !problem.empty())
      return problem;
  }
  State& state = stateOf(card.number);
  if (state != State::Confirmed) ++confirmed_;
  state = State::Confirmed;
  return {};
}

std::string JournalLedger::markUnwritten(const LedgerCard& card,
                                         const std::string& port) {
  std::lock_guard lock(mutex_);
  // A card never sent has nothing on storage to take back.
  if (journal_ != nullptr && stateOf(card.number) == State::InDoubt) {
    auto problem = journal_->appendStep(card.number, CardStep::Unwritten, port,
                                        std::chrono::system_clock::now());
    if (!problem.empty()) return problem;
  }
  stateOf(card.number) = State::Pending;
  handBack_.insert(card.number);
  return {};
}

}  // namespace quillon::batch
