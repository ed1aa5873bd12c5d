// quillon queue init | load | settle: the card queue that
// several stations share, in PostgreSQL (queue_schema.h).
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "card_batch.h"
#include "card_text.h"
#include "commands.h"
#include "encoder_protocol.h"
#include "exit_codes.h"
#include "fault_point.h"
#include "interrupt_source.h"
#include "queue_access.h"
#include "queue_connection.h"
#include "queue_schema.h"

namespace quillon::cli {

namespace {

// The size of a piece of COPY data sent at a time.
constexpr std::size_t kCopyPiece = 64 * 1024;

// COPY's text format: a backslash and the line's separators escaped.
void appendCopyField(std::string& data,
                     const std::optional<std::string>& text) {
  if (!text) {
    data += "\\N";
    return;
  }
  for (const char c : *text) {
    switch (c) {
      case '\\': data += "\\\\"; break;
      case '\t': data += "\\t"; break;
      case '\n': data += "\\n"; break;
      case '\r': data += "\\r"; break;
      default: data += c;
    }
  }
}

// A card as a line of COPY's text format.
void appendCopyRow(std::string& data, const std::string& batchId,
                   std::size_t number, int selection, const Tracks& tracks) {
  data += batchId + "\t" + std::to_string(number);
  for (int track = 1; track <= 3; ++track) {
    data += '\t';
    std::optional<std::string> text;
    if (protocol::selectionHasTrack(selection, track))
      text = latin1ToUtf8(tracks[static_cast<std::size_t>(track - 1)]);
    appendCopyField(data, text);
  }
  data += '\n';
}

}  // namespace

// The server's connection, its tables checked (unless `init`), or the
// exit code after a message; kExitInterrupted without one, when the signal
// of `interruptFd` ended the wait.
std::variant<QueueConnection, int> connectQueue(const QueueOptions& options,
                                                bool init, int interruptFd) {
  const auto url = checkedQueueUrl(
      options.url, "--queue URL (or QUILLON_QUEUE) names the queue's server");
  if (!url) return kExitUsage;
  auto opened = QueueConnection::open(*url, interruptFd);
  if (auto* message = std::get_if<std::string>(&opened)) {
    if (signalled(interruptFd)) return kExitInterrupted;
    complain(*message);
    return kExitPort;
  }
  auto& connection = std::get<QueueConnection>(opened);
  if (!init) {
    if (auto problem = checkSchema(connection); !problem.empty()) {
      complain(problem);
      return kExitUsage;
    }
  }
  return std::move(connection);
}

// The server's connection and options.batch, or the exit code after a
// message.
std::variant<OpenBatch, int> openBatch(const QueueOptions& options) {
  auto connected = connectQueue(options);
  if (auto* code = std::get_if<int>(&connected)) return *code;
  auto& connection = std::get<QueueConnection>(connected);
  auto found = findBatch(connection, options.batch);
  if (auto* message = std::get_if<std::string>(&found)) {
    complain(*message);
    return kExitUsage;
  }
  return OpenBatch{std::move(connection), std::get<QueueBatch>(found)};
}

std::optional<std::string> checkedQueueUrl(const std::string& given,
                                           const std::string& missing) {
  const char* env = std::getenv("QUILLON_QUEUE");
  const std::string url = !given.empty() ? given : env != nullptr ? env : "";
  const std::string problem =
      url.empty() ? missing : QueueConnection::urlProblem(url);
  if (problem.empty()) return url;
  complain(problem);
  return std::nullopt;
}

int runQueueInit(const GlobalOptions& global, const QueueOptions& options) {
  auto connected = connectQueue(options, true);
  if (auto* code = std::get_if<int>(&connected)) return *code;
  const SchemaOutcome made = createSchema(std::get<QueueConnection>(connected));
  if (made.code != kExitDone || !global.quiet) complain(made.message);
  return made.code;
}

int runQueueLoad(const GlobalOptions& global, const QueueOptions& options,
                 const WriteOptions& cards) {
  // Ctrl-C ends any wait on the server; the batch is added whole or not
  // at all, and the message says which.
  InterruptSource interrupt;
  if (!interrupt.install()) {
    complain("cannot watch for Ctrl-C");
    return kExitUsage;
  }
  const auto interrupted = [&] {
    if (!global.quiet) complain("interrupted; nothing was added");
    return kExitInterrupted;
  };
  // The cards are checked before the server is asked anything.
  auto planned = checkedBatch(cards);
  if (auto* message = std::get_if<std::string>(&planned)) {
    complain(*message);
    return kExitUsage;
  }
  if (interrupt.raised()) return interrupted();
  CardBatch& batch = std::get<CardBatch>(planned);
  auto connected = connectQueue(options, false, interrupt.fd());
  if (auto* code = std::get_if<int>(&connected))
    return *code == kExitInterrupted ? interrupted() : *code;
  QueueConnection& connection = std::get<QueueConnection>(connected);

  const auto failed = [&](const std::string& message) {
    connection.run("ROLLBACK");  // the connection's end rolls back too
    if (interrupt.raised()) return interrupted();
    complain(message + "; nothing was added");
    return kExitUsage;
  };
  if (auto begun = connection.run("BEGIN"); !begun.ok())
    return failed("the queue cannot be written: " + begun.error());
  QueueResult added = connection.run(
      "INSERT INTO quillon_batches (name, selection, cards) "
      "VALUES ($1, $2, $3) RETURNING id",
      {options.batch, std::to_string(batch.selection()),
       std::to_string(batch.size())});
  if (added.code() == "23505")
    return failed("the queue has a batch named \"" +
                  escapedName(options.batch) +
                  "\" already: give this one another name");
  if (!added.ok())
    return failed(queueFailure("the queue cannot be written", added));
  const std::string id = added.text(0, 0);
  // The rows go in pieces made as they are sent: memory stays the same
  // whatever the count.
  std::size_t next = 0;
  const auto nextPiece = [&](std::string& piece) {
    if (interrupt.raised()) return false;  // the count check refuses it
    for (; next < batch.size() && piece.size() < kCopyPiece; ++next) {
      if (faultDrop("copy", static_cast<long>(next + 1))) continue;
      appendCopyRow(piece, id, next + 1, batch.selection(), batch.at(next));
    }
    return next < batch.size();
  };
  QueueResult copied = connection.copyIn(
      "COPY quillon_cards (batch_id, number, track1, track2, track3) "
      "FROM STDIN",
      nextPiece);
  if (!copied.ok())
    return failed("the cards cannot be added: " + copied.error());
  // What the server took, checked before anything is committed.
  if (copied.changed() != static_cast<long>(batch.size()))
    return failed("the server took " + std::to_string(copied.changed()) +
                  " of the " + std::to_string(batch.size()) + " cards");
  if (interrupt.raised()) return failed("interrupted");
  if (auto done = connection.run("COMMIT"); !done.ok()) {
    if (!interrupt.raised())
      return failed("the batch cannot be committed: " + done.error());
    // The commit may have been done before the server saw the cancel.
    complain(
        "interrupted while the batch was committed: it may have been "
        "added (quillon queue status --batch " +
        escapedName(options.batch) + " tells)");
    return kExitInterrupted;
  }
  // Fresh statistics before the first claim: without them the server may
  // plan the claim's search as a scan of every card (tens of ms a card on
  // a first large batch, until autovacuum analyzes the table). A role that
  // may not analyze gets a warning from the server, nothing more.
  connection.run("ANALYZE quillon_cards");
  if (!global.quiet)
    complain("batch " + escapedName(options.batch) + ": " +
             std::to_string(batch.size()) + " cards added to the queue");
  return kExitDone;
}

int runQueueSettle(const GlobalOptions& global, const QueueOptions& options) {
  auto opened = openBatch(options);
  if (auto* code = std::get_if<int>(&opened)) return *code;
  auto& [connection, batch] = std::get<OpenBatch>(opened);
  const std::string card = std::to_string(options.card);
  const std::string& batchId = batch.id;
  QueueResult row = connection.run(
      "SELECT state, station, port FROM quillon_cards "
      "WHERE batch_id = $1 AND number = $2",
      {batchId, card});
  if (!row.ok()) {
    complain(queueFailure("the queue cannot be read", row));
    return kExitUsage;
  }
  if (row.rows() == 0 || row.text(0, 0) != "sent") {
    complain("card " + card + " of batch " + escapedName(options.batch) +
             (row.rows() == 0
                  ? " does not exist"
                  : " is not in doubt (it is " + row.text(0, 0) + ")") +
             "; nothing was changed");
    return kExitUsage;
  }
  const std::string station = row.text(0, 1);
  const std::string port = row.text(0, 2);
  const std::string stationShown = escapedName(station);
  const std::string portShown = escapedName(port);
  // Holding its station's lock keeps that station from starting while the
  // card is settled; a station that runs settles its own cards.
  QueueResult lock =
      connection.run(stationLockSql(true), stationLockParams(station, port));
  if (!lock.ok() || lock.text(0, 0) != "t") {
    complain("card " + card + " is being written by station " + stationShown +
             " at " + portShown +
             " now; settle only the cards of a station that is not running "
             "(nothing was changed)");
    return kExitUsage;
  }
  const bool written = options.outcome == "written";
  QueueResult settled = connection.run(
      // Still that station's: it may have run and let go of the card
      // since it was read.
      std::string(written ? "UPDATE quillon_cards SET state = 'confirmed', "
                            "confirmed_at = now(), settled_by_operator = true "
                          : "UPDATE quillon_cards SET state = 'pending', "
                            "station = NULL, port = NULL, sent_at = NULL ") +
          "WHERE batch_id = $1 AND number = $2 AND state = 'sent' "
          "AND station = $3 AND port = $4",
      {batchId, card, station, port});
  connection.run(stationLockSql(false), stationLockParams(station, port));
  if (!settled.ok() || settled.changed() != 1) {
    complain("card " + card + " could not be settled: " +
             (settled.ok() ? "it changed meanwhile" : settled.error()));
    return kExitUsage;
  }
  if (!global.quiet) {
    complain("card " + card + " of batch " + escapedName(options.batch) +
             (written ? " is confirmed (on a card at station " + stationShown +
                            ", " + portShown + ")"
                      : " is pending again: the next free encoder writes it"));
  }
  return kExitDone;
}

}  // namespace quillon::cli
