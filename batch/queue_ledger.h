// The batch's bookkeeping in a PostgreSQL queue that several stations
// share (queue_schema.h). take() claims the batch's lowest pending card
// that no other station holds (a row lock skipped, not waited for) and
// marks it sent by this station and port in the same committed statement,
// so the card is on the server before its write frame goes out.
//
// Each encoder has a connection of its own (libpq's are one thread at a
// time), holding its station-and-port lock. A connection that breaks is
// made again with a growing pause (0.25 s doubling to 5 s, a line on
// stderr each time) until it is back or the operator stops the program;
// the step is then made again. A claim whose commit was cut off may have
// committed: each claim carries a token of its own (a random claim id
// stored with the card), and the card holding that token, and no other,
// is put back to pending (its frame never went out) before claiming anew.
// A confirmation the server took back in a crash (it commits without
// waiting for its flush) is made again, waiting, once the server is back:
// this program saw that card written.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "card_ledger.h"
#include "queue_connection.h"
#include "queue_schema.h"

namespace quillon::batch {

class QueueLedger : public CardLedger {
 public:
  struct Problem {
    int code = 0;  ///< the exit code
    std::string message;
  };
  /// The batch `batch` of the queue at `url`, worked by `station` at
  /// `ports` (one connection each). `stopAsked` ends a wait for the
  /// server, and `interruptFd` (interrupt_source.h) a statement the
  /// server holds; `tell` shows a line to the operator (the waits).
  using Tell = std::function<void(const std::string&)>;
  [[nodiscard]] static std::variant<std::unique_ptr<QueueLedger>, Problem> open(
      const std::string& url, const std::string& batch,
      const std::string& station, const std::vector<std::string>& ports,
      std::function<bool()> stopAsked, Tell tell, int interruptFd = -1);
  /// Makes the encoders' last confirmations durable (not after a signal).
  ~QueueLedger() override;

  [[nodiscard]] int selection() const override { return batch_.selection; }
  [[nodiscard]] long total() const override { return batch_.cards; }
  /// Confirmed when the station started, and by this station since.
  [[nodiscard]] long confirmed() const override { return confirmed_; }
  /// This station's cards in doubt when it started: at its ports, and at
  /// any other port where no program of this station writes now.
  [[nodiscard]] std::vector<CardInDoubt> inDoubt() const override {
    return inDoubt_;
  }
  std::variant<std::optional<LedgerCard>, std::string> take(
      const std::string& port) override;
  std::string markSent(const LedgerCard& card,
                       const std::string& port) override;
  std::string markConfirmed(
      const LedgerCard& card, const std::string& port,
      std::chrono::system_clock::time_point time) override;
  std::string markUnwritten(const LedgerCard& card,
                            const std::string& port) override;
  /// Counts the failure at the encoder's station and port (best effort:
  /// a figure, not a card's state).
  void noteFailure(const std::string& port) override;
  /// The station's summary: the cards it wrote and its rate, the cards in
  /// doubt anywhere in the batch, and whether the batch was cancelled.
  std::string endNote() override;

 private:
  struct Link {
    std::string port;
    QueueConnection connection;
    long claimed = 0;   // the card take() just marked sent here
    std::string token;  // the claim id of the claim take() sends
    // The confirmation that has not waited for its flush, as the
    // parameters of kConfirm; empty once a later commit flushed it.
    std::vector<QueueParam> unflushed;
  };

  QueueLedger(QueueBatch batch, std::string station,
              std::function<bool()> stopAsked, Tell tell, int interruptFd);
  Link& linkOf(const std::string& port);
  /// Runs a statement until the server answers it, over a broken
  /// connection made again; `claim`: the statement is link.token's claim,
  /// which may have committed unseen and is put back first. Its result,
  /// or a message.
  std::variant<QueueResult, std::string> persist(
      Link& link, const std::string& sql, const std::vector<QueueParam>& params,
      bool claim = false);
  /// After a reconnect: the confirmation a crash may have taken back made
  /// again, then the claim that may have committed unseen put back.
  std::string restore(Link& link, bool claim);
  /// Makes link.unflushed's confirmation durable: a commit that waits.
  std::string flushConfirmation(Link& link);
  /// The test seam: a claim's reply lost with its connection (fault_point.h).
  bool dropReply(Link& link, QueueResult& result);
  /// Waits for the server with a growing pause; a message when stopped.
  std::string comeBack(Link& link, std::string why);
  /// After a claim found no card: true when the batch is paused with
  /// cards left (after a wait until it is not, or the operator stops);
  /// notes a cancelled batch.
  bool waitWhilePaused(Link& link);
  /// A card of `result`'s row (number, track1, track2, track3), or a
  /// message.
  std::variant<LedgerCard, std::string> cardOf(const QueueResult& result,
                                               int row) const;
  std::vector<QueueParam> keyOf(long number, const std::string& port) const;

  QueueBatch batch_;
  std::string station_;
  std::function<bool()> stopAsked_;
  Tell tell_;
  int interruptFd_;
  std::vector<std::unique_ptr<Link>> links_;
  std::vector<CardInDoubt> inDoubt_;
  std::atomic<long> confirmed_{0};
  std::atomic<long> writtenHere_{0};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> pauseTold_{false};
  std::chrono::steady_clock::time_point started_ =
      std::chrono::steady_clock::now();
};

}  // namespace quillon::batch
