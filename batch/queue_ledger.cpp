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

// Each step is a function that runs with the tables' owner's rights
// (queue_rights.h): a station's role reads no card it has not claimed.

// Takes the lowest pending card of an open batch and marks it sent, one
// statement and so one transaction: rows other stations hold are
// skipped, not waited for. Its claim id ($4) names this claim alone.
constexpr const char* kClaim = "SELECT * FROM quillon_claim($1, $2, $3, $4)";

// A card of this station ($2 or $3) is named by its number: its port
// ($4) is the name the encoder has now, which may differ from the one
// that sent it (COM1 and /dev/ttyS0; settling found them the same device).

// A card no card holds ($3), back to the pending ones.
constexpr const char* kUnclaim = "SELECT quillon_unclaim($1, $2, $3)";
// The claim whose commit was not seen ($3: its claim id), if it
// committed; any other card the station sent is in doubt, not this.
constexpr const char* kPutBack = "SELECT quillon_put_back($1, $2, $3)";

constexpr const char* kStillSent = "SELECT quillon_still_sent($1, $2, $3, $4)";

// The confirmation does not wait for its commit to reach the server's
// disk: the encoder's next claim does, and the log is flushed in order.
// One flush a card instead of two. A confirmation a crash takes back is
// made again, waiting (`waits`), when the server is back, and before the
// encoder ends.
std::string confirmSql(bool waits) {
  return waits ? "SELECT quillon_confirm($1, $2, $3, $4, $5)"
               : "SELECT quillon_confirm($1, $2, $3, $4, $5) WHERE "
                 "set_config('synchronous_commit', 'off', true) IS NOT NULL";
}

// The cards a station function changed (its one row's count).
long changedBy(const QueueResult& result) {
  return result.rows() == 1 ? result.number(0, 0) : 0;
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
  QueueResult doubts =
      connection.run("SELECT * FROM quillon_station_doubts($1, $2)",
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

bool QueueLedger::waitWhilePaused(Link& link) {
  const std::vector<QueueParam> id{batch_.id};
  const auto stateNow = [&]() -> std::string {
    QueueResult state = link.connection.run(
        "SELECT state, EXISTS (SELECT 1 FROM quillon_cards WHERE batch_id = "
        "$1 AND state = 'pending') FROM quillon_batches WHERE id = $1",
        id);
    if (!state.ok() || state.rows() != 1) return {};
    // A paused batch with no card left to claim is done all the same.
    if (state.text(0, 0) == "paused" && state.text(0, 1) != "t") return {};
    return state.text(0, 0);
  };
  std::string state = stateNow();
  if (state == "cancelled") cancelled_ = true;
  if (state != "paused") return false;
  if (!pauseTold_.exchange(true))
    tell_("batch " + escapedName(batch_.name) +
          " is paused: this station waits (quillon queue resume goes on)");
  while (state == "paused") {
    for (int waited = 0; waited < 20; ++waited) {
      if (stopAsked_()) return false;
      std::this_thread::sleep_for(50ms);
    }
    state = stateNow();
  }
  if (state == "cancelled") {
    cancelled_ = true;
    return false;
  }
  if (pauseTold_.exchange(false))
    tell_("batch " + escapedName(batch_.name) + " goes on");
  return true;
}

void QueueLedger::noteFailure(const std::string& port) {
  Link& link = linkOf(port);
  link.connection.run("SELECT quillon_note_failure($1, $2, $3)",
                      {batch_.id, station_, port});
}

std::string QueueLedger::endNote() {
  const double minutes =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_)
          .count() /
      60.0;
  const long written = writtenHere_;
  std::string note = "station " + escapedName(station_) + ": " +
                     std::to_string(written) + " cards written";
  if (written > 0 && minutes > 0) {
    char rate[32];
    std::snprintf(rate, sizeof rate, " (%.0f a minute)", written / minutes);
    note += rate;
  }
  QueueResult doubts = links_.front()->connection.run(
      "SELECT count(*) FROM quillon_cards WHERE batch_id = $1 AND "
      "state = 'sent'",
      {batch_.id});
  if (doubts.ok())
    note += "; " + std::to_string(doubts.number(0, 0)) +
            " cards in doubt in the batch";
  if (cancelled_)
    note = "batch " + escapedName(batch_.name) +
           " was cancelled: this station ended after its current card; " + note;
  return note;
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
    if (!link.unflushed.empty()) {
      if (auto problem = flushConfirmation(link); !problem.empty())
        return problem;
    }
    if (waitWhilePaused(link)) return take(port);
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
  if (changedBy(std::get<QueueResult>(marked)) == 1) return {};
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
  if (changedBy(std::get<QueueResult>(marked)) != 1) {
    return notOurs(card);
  }
  link.unflushed = params;
  ++confirmed_;
  ++writtenHere_;
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
