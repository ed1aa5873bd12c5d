// quillon queue grant | purge | pause | resume | cancel | list | show |
// export: the queue's rights, and an operator's look at its batches.
// Each asks the server with the caller's role: what the role may not do
// the server refuses, and the message says which right is missing.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "card_text.h"
#include "exit_codes.h"
#include "queue_access.h"
#include "queue_rights.h"

namespace quillon::cli {

namespace {

using batch::QueueResult;

// Times as the reports show them: UTC, to the millisecond.
std::string utc(const std::string& column) {
  return "to_char(" + column +
         " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
}

// One CSV field (RFC 4180): quoted when it holds a comma, quote or line.
std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text)
    quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

int failed(const std::string& what, const QueueResult& result) {
  complain(queueFailure(what, result));
  return kExitUsage;
}

}  // namespace

std::string queueFailure(const std::string& what, const QueueResult& result) {
  // 42501: insufficient_privilege.
  if (result.code() == "42501") {
    return what + ": this role has not the right (" + result.error() +
           "); quillon queue grant, run by the tables' owner, gives it";
  }
  return what + ": " + result.error();
}

int runQueueGrant(const GlobalOptions& global, const QueueOptions& options) {
  auto connected = connectQueue(options);
  if (auto* code = std::get_if<int>(&connected)) return *code;
  const std::string problem = batch::grantRights(
      std::get<QueueConnection>(connected), options.kind, options.role);
  if (!problem.empty()) {
    complain(problem);
    return kExitUsage;
  }
  if (!global.quiet)
    complain("role " + escapedName(options.role) + " has the rights of a " +
             options.kind + " (and no other)");
  return kExitDone;
}

int runQueuePurge(const GlobalOptions& global, const QueueOptions& options) {
  auto opened = openBatch(options);
  if (auto* code = std::get_if<int>(&opened)) return *code;
  auto& [connection, batch] = std::get<OpenBatch>(opened);
  QueueResult purged = connection.run(
      "UPDATE quillon_cards SET track1 = NULL, track2 = NULL, track3 = NULL "
      "WHERE batch_id = $1 AND state = 'confirmed' AND (track1 IS NOT NULL "
      "OR track2 IS NOT NULL OR track3 IS NOT NULL)",
      {batch.id});
  if (!purged.ok()) return failed("the cards' texts cannot be removed", purged);
  if (!global.quiet)
    complain("batch " + escapedName(batch.name) + ": the texts of " +
             std::to_string(purged.changed()) +
             " confirmed cards removed (numbers, stations, ports and times "
             "stay)");
  return kExitDone;
}

int runQueueBatchState(const GlobalOptions& global, const QueueOptions& options,
                       const std::string& action) {
  auto opened = openBatch(options);
  if (auto* code = std::get_if<int>(&opened)) return *code;
  auto& [connection, batch] = std::get<OpenBatch>(opened);
  const std::string state = action == "pause"    ? "paused"
                            : action == "resume" ? "open"
                                                 : "cancelled";
  // A cancelled batch stays so: its stations have ended.
  QueueResult changed = connection.run(
      "UPDATE quillon_batches SET state = $2 WHERE id = $1 AND "
      "state <> 'cancelled' RETURNING state",
      {batch.id, state});
  if (!changed.ok()) return failed("the batch cannot be changed", changed);
  if (changed.rows() == 0) {
    complain("batch " + escapedName(batch.name) +
             " is cancelled: nothing was changed");
    return kExitUsage;
  }
  if (!global.quiet) {
    const std::string what =
        state == "paused" ? "is paused: stations stop claiming and wait "
                            "(quillon queue resume goes on)"
        : state == "open" ? "goes on: stations claim again"
                          : "is cancelled: stations end after their current "
                            "card";
    complain("batch " + escapedName(batch.name) + " " + what +
             "; cards in doubt stay in doubt");
  }
  return kExitDone;
}

int runQueueList(const QueueOptions& options) {
  auto connected = connectQueue(options);
  if (auto* code = std::get_if<int>(&connected)) return *code;
  auto& connection = std::get<QueueConnection>(connected);
  QueueResult batches = connection.run(
      "SELECT b.name, b.state, b.cards, "
      "count(c.number) FILTER (WHERE c.state = 'pending'), "
      "count(c.number) FILTER (WHERE c.state = 'sent'), "
      "count(c.number) FILTER (WHERE c.state = 'confirmed'), " +
      utc("b.loaded_at") +
      " FROM quillon_batches b LEFT JOIN quillon_cards c ON c.batch_id = b.id "
      "GROUP BY b.id ORDER BY b.name");
  if (!batches.ok()) return failed("the batches cannot be read", batches);
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (int row = 0; row < batches.rows(); ++row) {
    // A batch whose every card is confirmed is done, whatever its state.
    const bool done = batches.number(row, 5) == batches.number(row, 2);
    const std::string state = done ? "done" : batches.text(row, 1);
    if (options.format == "json") {
      list.push_back({{"batch", batches.text(row, 0)},
                      {"state", state},
                      {"cards", batches.number(row, 2)},
                      {"pending", batches.number(row, 3)},
                      {"in_doubt", batches.number(row, 4)},
                      {"confirmed", batches.number(row, 5)},
                      {"loaded_at", batches.text(row, 6)}});
      continue;
    }
    std::printf(
        "%s: %s, %ld cards; %ld confirmed, %ld pending, %ld in doubt; "
        "loaded %s\n",
        escapedName(batches.text(row, 0)).c_str(), state.c_str(),
        batches.number(row, 2), batches.number(row, 5), batches.number(row, 3),
        batches.number(row, 4), batches.text(row, 6).c_str());
  }
  if (options.format == "json") std::printf("%s\n", list.dump().c_str());
  if (options.format != "json" && batches.rows() == 0)
    complain("the queue has no batches (quillon queue load adds one)");
  return kExitDone;
}

int runQueueShow(const QueueOptions& options) {
  auto opened = openBatch(options);
  if (auto* code = std::get_if<int>(&opened)) return *code;
  auto& [connection, batch] = std::get<OpenBatch>(opened);
  QueueResult card = connection.run(
      "SELECT state, station, port, " + utc("sent_at") + ", " +
          utc("confirmed_at") +
          ", settled_by_operator FROM quillon_cards WHERE batch_id = $1 AND "
          "number = $2",
      {batch.id, std::to_string(options.card)});
  if (!card.ok()) return failed("the card cannot be read", card);
  if (card.rows() == 0) {
    complain("batch " + escapedName(batch.name) + " has no card " +
             std::to_string(options.card) + " (its cards are 1 to " +
             std::to_string(batch.cards) + ")");
    return kExitUsage;
  }
  const std::string state = card.text(0, 0);
  if (options.format == "json") {
    nlohmann::ordered_json shown{
        {"batch", batch.name}, {"card", options.card}, {"state", state}};
    const char* keys[] = {"station", "port", "sent_at", "confirmed_at"};
    for (int column = 1; column <= 4; ++column)
      shown[keys[column - 1]] =
          card.null(0, column) ? nlohmann::ordered_json()
                               : nlohmann::ordered_json(card.text(0, column));
    shown["settled_by_operator"] = card.text(0, 5) == "t";
    std::printf("%s\n", shown.dump().c_str());
    return kExitDone;
  }
  std::string line = "card " + std::to_string(options.card) + " of batch " +
                     escapedName(batch.name) + ": " +
                     (state == "sent" ? "in doubt (sent)" : state);
  if (state != "pending") {
    line += "; station " + escapedName(card.text(0, 1)) + " at " +
            escapedName(card.text(0, 2)) + ", sent " + card.text(0, 3);
  }
  if (state == "confirmed") {
    line += ", confirmed " + card.text(0, 4) +
            (card.text(0, 5) == "t" ? " (settled by an operator)" : "");
  }
  std::printf("%s\n", line.c_str());
  return kExitDone;
}

int runQueueExport(const QueueOptions& options) {
  auto opened = openBatch(options);
  if (auto* code = std::get_if<int>(&opened)) return *code;
  auto& [connection, batch] = std::get<OpenBatch>(opened);
  // The texts go with the report only for a role that may read them.
  QueueResult right = connection.run(
      "SELECT has_column_privilege('quillon_cards', 'track1', 'SELECT')");
  if (!right.ok()) return failed("the cards cannot be read", right);
  const bool texts = right.text(0, 0) == "t";
  std::vector<std::string> names{"number",
                                 "state",
                                 "station",
                                 "port",
                                 "sent_at",
                                 "confirmed_at",
                                 "settled_by_operator"};
  if (texts) names.insert(names.end(), {"track1", "track2", "track3"});
  const std::string columns = "number, state, station, port, " +
                              utc("sent_at") + ", " + utc("confirmed_at") +
                              ", settled_by_operator" +
                              (texts ? ", track1, track2, track3" : "");
  // A cursor: memory stays the same whatever the batch's size.
  QueueResult begun = connection.run(
      "BEGIN READ ONLY; DECLARE cards NO SCROLL CURSOR FOR SELECT " + columns +
      " FROM quillon_cards WHERE batch_id = " + batch.id + " ORDER BY number");
  if (!begun.ok()) {
    connection.run("ROLLBACK");
    return failed("the cards cannot be read", begun);
  }
  const bool json = options.format == "json";
  std::string header;
  for (const auto& name : names) header += (header.empty() ? "" : ",") + name;
  std::printf("%s\n", json ? "[" : header.c_str());
  bool first = true;
  for (;;) {
    QueueResult rows = connection.run("FETCH 10000 FROM cards");
    if (!rows.ok()) {
      connection.run("ROLLBACK");
      if (json) std::printf("]\n");
      return failed("the cards cannot be read", rows);
    }
    if (rows.rows() == 0) break;
    for (int row = 0; row < rows.rows(); ++row) {
      if (json) {
        nlohmann::ordered_json card;
        for (std::size_t c = 0; c < names.size(); ++c) {
          const int column = static_cast<int>(c);
          if (rows.null(row, column))
            card[names[c]] = nullptr;
          else if (c == 0)
            card[names[c]] = rows.number(row, column);
          else if (names[c] == "settled_by_operator")
            card[names[c]] = rows.text(row, column) == "t";
          else
            card[names[c]] = rows.text(row, column);
        }
        std::printf("%s%s", first ? "" : ",\n", card.dump().c_str());
      } else {
        std::string line;
        for (std::size_t c = 0; c < names.size(); ++c) {
          if (c > 0) line += ',';
          if (!rows.null(row, static_cast<int>(c)))
            line += csvField(rows.text(row, static_cast<int>(c)));
        }
        std::printf("%s\n", line.c_str());
      }
      first = false;
    }
  }
  connection.run("COMMIT");
  if (json) std::printf("%s]\n", first ? "" : "\n");
  return kExitDone;
}

}  // namespace quillon::cli
