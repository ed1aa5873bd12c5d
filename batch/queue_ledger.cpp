#include "queue_ledger.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "card_text.h"
#include "encoder_protocol.h"
#include "exit_codes.h"
#include "fault_point.h"

namespace quillon::batch {

namespace {

using namespace std::chrono_literals;

// Takes the lowest pending card and marks it sent, one statement and so
// one transaction: rows other stations hold are skipped, not waited for.
// Its claim id ($4) names this claim alone.
constexpr const char* kClaim =
    "UPDATE quillon_cards SET state = 'sent', station = $2, port = $3, "
    "sent_at = now(), confirmed_at = NULL, claim_id = $4 "
    "WHERE batch_id = $1 AND number = (SELECT number FROM quillon_cards "
    "WHERE batch_id = $1 AND state = 'pending' ORDER BY number LIMIT 1 "
    "FOR UPDATE SKIP LOCKED) "
    "RETURNING number, track1, track2, track3";

// A card of this station ($3) is named by its number ($2): its port ($4)
// is the name the encoder has now, which may differ from the one that
// sent it (COM1 and /dev/ttyS0; settling found them the same device).

constexpr const char* kBackToPending =
    "UPDATE quillon_cards SET state = 'pending', station = NULL, "
    "port = NULL, sent_at = NULL, claim_id = NULL "
    "WHERE batch_id = $1 AND state = 'sent' AND station = $2 ";
// A card no card holds, back to the pending ones.
const std::string kUnclaim = std::string(kBackToPending) + "AND number = $3";
// The claim whose commit was not seen ($3: its claim id), if it
// committed; any other card the station sent is in doubt, not this.
const std::string kPutBack = std::string(kBackToPending) + "AND claim_id = $3";

constexpr const char* kStillSent =
    "UPDATE quillon_cards SET sent_at = now(), port = $4 WHERE batch_id = $1 "
    "AND number = $2 AND station = $3 AND state = 'sent'";

// The confirmation does not wait for its commit to reach the server's
// disk: the encoder's next claim does, and the log is flushed in order.
// One flush a card instead of two. A confirmation a crash takes back is
// made again, waiting (`waits`), when the server is back, and before the
// encoder ends.
std::string confirmSql(bool waits) {
  return std::string(
             "UPDATE quillon_cards SET state = 'confirmed', port = $4, "
             "confirmed_at = to_timestamp($5::double precision) "
             "WHERE batch_id = $1 AND number = $2 AND station = $3 "
             "AND state <> 'pending'") +
         (waits ? ""
                : " AND set_config('synchronous_commit', 'off', true) IS NOT "
                  "NULL");
}

// 128 random bits: no two claims of any station share one.
std::string newClaimId() {
  std::random_device random;
  char text[33];
  std::snprintf(text, sizeof text, "%08x%08x%08x%08x", random(), random(),
                random(), random());
  return text;
}

// The server's answer to the statement itself: a failure with a SQLSTATE
// that is not about the connection (class 08) or a server going down
// (57P01 to 57P03). libpq's own failures (no SQLSTATE) are the connection.
bool refusedByServer(const QueueResult& result) {
  const std::string code = result.code();
  return !code.empty() && !code.starts_with("08") && code != "57P01" &&
         code != "57P02" && code != "57P03";
}

std::string notOurs(const LedgerCard& card) {
  return "card " + std::to_string(card.number) +
         " is no longer this station's in the queue (settled by an "
         "operator?)";
}

std::string seconds(double value) {
  char text[16];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

QueueLedger::QueueLedger(QueueBatch batch, std::string station,
                         std::function<bool()> stopAsked, Tell tell,
                         int interruptFd)
    : batch_(std::move(batch)),
      station_(std::move(station)),
      stopAsked_(std::move(stopAsked)),
      tell_(std::move(tell)),
      interruptFd_(interruptFd) {}

QueueLedger::~QueueLedger() {
  // After a signal the program ends at once: such a card is in doubt at
  // worst, and settled by reading.
  if (signalled(interruptFd_)) return;
  for (auto& link : links_) {
    if (!link->unflushed.empty() && !link->connection.lost())
      link->connection.run(confirmSql(true), link->unflushed);
  }
}

std::variant<std::unique_ptr<QueueLedger>, QueueLedger::Problem>
QueueLedger::open(const std::string& url, const std::string& batchName,
                  const std::string& station,
                  const std::vector<std::string>& ports,
                  std::function<bool()> stopAsked, Tell tell, int interruptFd) {
  const auto failed = [interruptFd](int code, const std::string& message) {
    if (signalled(interruptFd))
      return Problem{kExitInterrupted, "interrupted; nothing was sent"};
    return Problem{code, message};
  };
  auto first = QueueConnection::open(url, interruptFd);
  if (auto* message = std::get_if<std::string>(&first))
    return failed(kExitPort, *message);
  QueueConnection& main = std::get<QueueConnection>(first);
  if (auto problem = checkSchema(main); !problem.empty())
    return failed(kExitUsage, problem);
  auto found = findBatch(main, batchName);
  if (auto* message = std::get_if<std::string>(&found))
    return failed(kExitUsage, *message);
  std::unique_ptr<QueueLedger> ledger(
      new QueueLedger(std::get<QueueBatch>(found), station,
                      std::move(stopAsked), std::move(tell), interruptFd));

  for (std::size_t i = 0; i < ports.size(); ++i) {
    auto connected =
        i == 0 ? std::move(first) : QueueConnection::open(url, interruptFd);
    if (auto* message = std::get_if<std::string>(&connected))
      return failed(kExitPort, *message);
    ledger->links_.push_back(std::make_unique<Link>(Link{
        ports[i], std::move(std::get<QueueConnection>(connected)), 0, {}, {}}));
    // A station killed a moment ago may still hold its lock until the
    // server notices.
    QueueConnection& connection = ledger->links_.back()->connection;
    bool held = false;
    for (int attempt = 0; attempt < 15 && !held; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(200ms);
      QueueResult lock = connection.run(stationLockSql(true),
                                        stationLockParams(station, ports[i]));
      if (!lock.ok() || signalled(interruptFd))
        return failed(kExitUsage, "the queue cannot be used: " + lock.error());
      held = lock.text(0, 0) == "t";
    }
    if (!held) {
      return Problem{kExitUsage,
                     "station " + station + " is writing at " + ports[i] +
                         " already: another quillon holds that encoder in the "
                         "queue (give each station its own --station); "
                         "nothing was sent"};
    }
  }

  QueueConnection& connection = ledger->links_.front()->connection;
  QueueResult counted = connection.run(
      "SELECT count(*) FROM quillon_cards WHERE batch_id = $1 AND "
      "state = 'confirmed'",
      {ledger->batch_.id});
  // The station's cards sent at other ports are in doubt unless another
  // program of this station is writing there now.
  QueueResult doubts = connection.run(
      std::string("SELECT number, track1, track2, track3, port, ") +
          kWritingNow +
          " FROM quillon_cards WHERE batch_id = $1 AND state = 'sent' "
          "AND station = $2 ORDER BY number",
      {ledger->batch_.id, station});
  for (const QueueResult* result : {&counted, &doubts}) {
    if (!result->ok())
      return failed(kExitUsage, "the queue cannot be read: " + result->error());
  }
  ledger->confirmed_ = counted.number(0, 0);
  for (int row = 0; row < doubts.rows(); ++row) {
    const std::string port = doubts.text(row, 4);
    if (doubts.text(row, 5) == "t" &&
        std::find(ports.begin(), ports.end(), port) == ports.end())
      continue;
    auto card = ledger->cardOf(doubts, row);
    if (auto* message = std::get_if<std::string>(&card))
      return Problem{kExitUsage, *message};
    ledger->inDoubt_.push_back({std::get<LedgerCard>(card), port});
  }
  return ledger;
}

QueueLedger::Link& QueueLedger::linkOf(const std::string& port) {
  for (auto& link : links_) {
    if (link->port == port) return *link;
  }
  return *links_.front();  // every encoder's port has a link
}

std::vector<QueueParam> QueueLedger::keyOf(long number,
                                           const std::string& port) const {
  return {batch_.id, std::to_string(number), station_, port};
}

std::variant<LedgerCard, std::string> QueueLedger::cardOf(
    const QueueResult& result, int row) const {
  LedgerCard card;
  card.number = result.number(row, 0);
  for (int track = 1; track <= 3; ++track) {
    if (!protocol::selectionHasTrack(batch_.selection, track)) continue;
    auto bytes = utf8ToLatin1(result.text(row, track));
    if (!bytes) {
      return "the queue's card " + std::to_string(card.number) +
             " has a character on track " + std::to_string(track) +
             " that is not one byte (U+0000 to U+00FF)";
    }
    card.tracks[static_cast<std::size_t>(track - 1)] = *bytes;
  }
  return card;
}

std::string QueueLedger::comeBack(Link& link, std::string why) {
  auto pause = 250ms;
  for (;;) {
    tell_("the queue's " + link.connection.where() + " is away (" + why +
          "); the encoder at " + link.port + " tries again in " +
          seconds(std::chrono::duration<double>(pause).count()) + " s");
    for (auto waited = 0ms; waited < pause; waited += 50ms) {
      if (stopAsked_()) return "stopped while the queue's server was away";
      std::this_thread::sleep_for(50ms);
    }
    pause = std::min<std::chrono::milliseconds>(pause * 2, 5s);
    if (!link.connection.reconnect()) {
      why = link.connection.lastError();
      continue;
    }
    QueueResult lock = link.connection.run(
        stationLockSql(true), stationLockParams(station_, link.port));
    if (lock.ok() && lock.text(0, 0) == "t") {
      tell_("the queue is back; the encoder at " + link.port + " goes on");
      return {};
    }
    // The server has not yet seen the old session go: it holds the lock.
    why = lock.ok() ? "the server still holds this encoder's earlier session"
                    : lock.error();
  }
}

std::variant<QueueResult, std::string> QueueLedger::persist(
    Link& link, const std::string& sql, const std::vector<QueueParam>& params,
    bool claim) {
  for (;;) {
    QueueResult result = link.connection.run(sql, params);
    if (result.ok() && !(claim && dropReply(link, result))) return result;
    if (link.connection.stopped() ||
        (!link.connection.lost() && refusedByServer(result)))
      return "the queue refused a step: " + result.error();
    if (auto stopped = comeBack(link, result.error()); !stopped.empty())
      return stopped;
    if (auto problem = restore(link, claim); !problem.empty()) return problem;
  }
}

std::string QueueLedger::restore(Link& link, bool claim) {
  if (!link.unflushed.empty()) {
    if (auto problem = flushConfirmation(link); !problem.empty())
      return problem;
  }
  if (!claim) return {};
  auto undone = persist(link, kPutBack, {batch_.id, station_, link.token});
  if (auto* message = std::get_if<std::string>(&undone)) return *message;
  return {};
}

std::string QueueLedger::flushConfirmation(Link& link) {
  const std::vector<QueueParam> params = link.unflushed;
  auto made = persist(link, confirmSql(true), params);
  if (auto* message = std::get_if<std::string>(&made)) return *message;
  link.unflushed.clear();
  return {};
}

bool QueueLedger::dropReply(Link& link, QueueResult& result) {
  if (result.rows() != 1 || !faultDrop("claim", result.number(0, 0)))
    return false;
  ::shutdown(link.connection.socket(), SHUT_RDWR);
  result = link.connection.run("SELECT 1");  // libpq sees the line gone
  return true;
}

std::variant<std::optional<LedgerCard>, std::string> QueueLedger::take(
    const std::string& port) {
  Link& link = linkOf(port);
  link.token = newClaimId();
  auto claimed =
      persist(link, kClaim, {batch_.id, station_, port, link.token}, true);
  if (auto* message = std::get_if<std::string>(&claimed)) return *message;
  const QueueResult& result = std::get<QueueResult>(claimed);
  if (result.rows() == 0) {
    // A claim that changed nothing commits nothing, flushes nothing.
    if (link.unflushed.empty()) return std::optional<LedgerCard>();
    if (auto problem = flushConfirmation(link); !problem.empty())
      return problem;
    return std::optional<LedgerCard>();
  }
  // Its commit waited for the log's flush, and with it the confirmation
  // before it.
  link.unflushed.clear();
  auto card = cardOf(result, 0);
  if (auto* message = std::get_if<std::string>(&card)) return *message;
  link.claimed = std::get<LedgerCard>(card).number;
  return std::optional(std::get<LedgerCard>(card));
}

std::string QueueLedger::markSent(const LedgerCard& card,
                                  const std::string& port) {
  Link& link = linkOf(port);
  // The claim marked it sent, and committed.
  if (link.claimed == card.number) return {};
  // A card in doubt, written anew: still this station's?
  auto marked = persist(link, kStillSent, keyOf(card.number, port));
  if (auto* message = std::get_if<std::string>(&marked)) return *message;
  if (std::get<QueueResult>(marked).changed() == 1) return {};
  return notOurs(card);
}

std::string QueueLedger::markConfirmed(
    const LedgerCard& card, const std::string& port,
    std::chrono::system_clock::time_point time) {
  Link& link = linkOf(port);
  link.claimed = 0;
  auto params = keyOf(card.number, port);
  char epoch[32];
  std::snprintf(epoch, sizeof epoch, "%.6f",
                std::chrono::duration<double>(time.time_since_epoch()).count());
  params.emplace_back(epoch);
  auto marked = persist(link, confirmSql(false), params);
  if (auto* message = std::get_if<std::string>(&marked)) return *message;
  if (std::get<QueueResult>(marked).changed() != 1) {
    return notOurs(card);
  }
  link.unflushed = params;
  ++confirmed_;
  faultPoint("confirmed", card.number);
  return {};
}

std::string QueueLedger::markUnwritten(const LedgerCard& card,
                                       const std::string& port) {
  Link& link = linkOf(port);
  link.claimed = 0;
  auto undone = persist(link, kUnclaim,
                        {batch_.id, station_, std::to_string(card.number)});
  if (auto* message = std::get_if<std::string>(&undone)) return *message;
  return {};
}

}  // namespace quillon::batch
