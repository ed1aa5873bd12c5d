// The card queue's tables in PostgreSQL, and their version:
//   quillon_schema   one row: the version of these tables
//   quillon_batches  a batch: its name (unique), its tracks, its size
//   quillon_cards    a card a row: its texts (UTF-8 of the card's bytes),
//                    its state (pending, sent, confirmed), the station and
//                    port that sent it, and when, and the claim id of the
//                    claim that took it and the role that made it
//   quillon_failures the cards that failed at each station and port
// A card is "in doubt" while it is sent and not confirmed. Each running
// encoder holds an advisory lock named by its station and port, so that
// no second program runs as it and an operator settles only cards whose
// station is gone.
#pragma once

#include <string>
#include <variant>

#include "queue_connection.h"

namespace quillon::batch {

// Version 2 added the claim id, version 3 the claiming role, the batch's
// state and the station functions (queue_rights.h); `queue init` brings
// versions 1 and 2 to it.
inline constexpr int kQueueSchemaVersion = 3;

/// Creates the tables when there are none (or brings version 1 to this
/// one); a message (and `code`: an exit
/// code) when they are of another version. `created` says which.
struct SchemaOutcome {
  int code = 0;
  std::string message;
  bool created = false;
};
[[nodiscard]] SchemaOutcome createSchema(QueueConnection& connection);

/// Empty when the tables are there in this version, else why not.
[[nodiscard]] std::string checkSchema(QueueConnection& connection);

/// A batch of the queue.
struct QueueBatch {
  std::string id;
  std::string name;
  int selection = 0;
  long cards = 0;
};
/// Batch `name`, or a message naming the batches there are.
[[nodiscard]] std::variant<QueueBatch, std::string> findBatch(
    QueueConnection& connection, const std::string& name);

/// An SQL condition on a card row: the encoder that sent it (its station
/// and port) runs now, holding its lock.
extern const char* const kWritingNow;

/// SQL that takes (true) or frees the advisory locks of station `$1`'s
/// port `$2` and of the device `$3` that the name leads to (a
/// /dev/serial/by-id name and /dev/ttyUSB0 are one encoder): taken both or
/// neither; one row, true when taken (or freed).
[[nodiscard]] std::string stationLockSql(bool take);

/// The parameters of stationLockSql for `station` at `port`: the device is
/// the port's real path on this machine, else the name as it stands.
[[nodiscard]] std::vector<QueueParam> stationLockParams(
    const std::string& station, const std::string& port);

}  // namespace quillon::batch
