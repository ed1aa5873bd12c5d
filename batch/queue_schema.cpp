#include "queue_schema.h"

#include <cstdlib>

#include "card_text.h"
#include "exit_codes.h"
#include "queue_rights.h"

namespace quillon::batch {

namespace {

constexpr const char* kTables = R"sql(
CREATE TABLE quillon_schema (version integer NOT NULL);
CREATE TABLE quillon_batches (
  id bigserial PRIMARY KEY,
  name text NOT NULL UNIQUE,
  selection smallint NOT NULL CHECK (selection BETWEEN 1 AND 7),
  cards bigint NOT NULL,
  loaded_at timestamptz NOT NULL DEFAULT now(),
  state text NOT NULL DEFAULT 'open'
    CHECK (state IN ('open', 'paused', 'cancelled'))
);
CREATE TABLE quillon_cards (
  batch_id bigint NOT NULL REFERENCES quillon_batches (id),
  number bigint NOT NULL,
  track1 text,
  track2 text,
  track3 text,
  state text NOT NULL DEFAULT 'pending'
    CHECK (state IN ('pending', 'sent', 'confirmed')),
  station text,
  port text,
  sent_at timestamptz,
  confirmed_at timestamptz,
  settled_by_operator boolean NOT NULL DEFAULT false,
  claim_id text,
  claimed_by text,
  PRIMARY KEY (batch_id, number)
);
CREATE TABLE quillon_failures (
  batch_id bigint NOT NULL REFERENCES quillon_batches (id),
  station text NOT NULL,
  port text NOT NULL,
  failures bigint NOT NULL,
  last_at timestamptz NOT NULL,
  PRIMARY KEY (batch_id, station, port)
);
-- The claim's search: the lowest pending number of a batch.
CREATE INDEX quillon_cards_pending ON quillon_cards (batch_id, number)
  WHERE state = 'pending';
-- A station's cards in doubt, and the counts of queue status.
CREATE INDEX quillon_cards_state ON quillon_cards (batch_id, state, station);
)sql";

// From version 1: the claim id that names each claim (a claim whose
// commit was not seen is put back by it, and no other card).
constexpr const char* kFromVersion1 =
    "ALTER TABLE quillon_cards ADD COLUMN claim_id text;";
// From version 2: the role that made each claim (the cards sent before
// are the upgrading owner's: an operator settles them), and a batch's
// state (open, paused, cancelled), and each encoder's failed cards.
constexpr const char* kFromVersion2 =
    "ALTER TABLE quillon_cards ADD COLUMN claimed_by text; "
    "UPDATE quillon_cards SET claimed_by = current_user "
    "WHERE state <> 'pending'; "
    "ALTER TABLE quillon_batches ADD COLUMN state text NOT NULL DEFAULT "
    "'open' CHECK (state IN ('open', 'paused', 'cancelled')); "
    "CREATE TABLE quillon_failures (batch_id bigint NOT NULL REFERENCES "
    "quillon_batches (id), station text NOT NULL, port text NOT NULL, "
    "failures bigint NOT NULL, last_at timestamptz NOT NULL, "
    "PRIMARY KEY (batch_id, station, port));";

// The station functions in the schema the tables are made in (`sql`), or
// why not.
std::string functionsSql(QueueConnection& connection, std::string& sql) {
  QueueResult schema = connection.run("SELECT quote_ident(current_schema())");
  if (!schema.ok() || schema.rows() != 1 || schema.null(0, 0))
    return "the queue's server names no schema to make the tables in" +
           (schema.ok() ? std::string() : ": " + schema.error());
  sql = stationFunctionsSql(schema.text(0, 0));
  return {};
}

// The version there is: none (0) when the table is missing, or a message.
std::variant<int, std::string> versionThere(QueueConnection& connection) {
  QueueResult exists =
      connection.run("SELECT to_regclass('quillon_schema') IS NOT NULL");
  if (!exists.ok()) return "the queue cannot be read: " + exists.error();
  if (exists.text(0, 0) != "t") return 0;
  QueueResult version = connection.run("SELECT version FROM quillon_schema");
  if (!version.ok()) return "the queue cannot be read: " + version.error();
  if (version.rows() != 1)
    return std::string("the queue's quillon_schema table holds no version");
  return static_cast<int>(version.number(0, 0));
}

std::string otherVersion(int version) {
  return "the queue's tables are of version " + std::to_string(version) +
         "; this quillon knows version " + std::to_string(kQueueSchemaVersion) +
         " (nothing was changed: use the quillon that made them, or a "
         "newer one)";
}

}  // namespace

SchemaOutcome createSchema(QueueConnection& connection) {
  auto there = versionThere(connection);
  if (auto* message = std::get_if<std::string>(&there))
    return {kExitUsage, *message};
  const int version = std::get<int>(there);
  if (version == kQueueSchemaVersion) {
    return {kExitDone, "the queue's tables are there already (version " +
                           std::to_string(version) + "): nothing to do"};
  }
  if (version != 0 && version != 1 && version != 2)
    return {kExitUsage, otherVersion(version)};
  std::string functions;
  if (auto problem = functionsSql(connection, functions); !problem.empty())
    return {kExitUsage, problem};
  if (version != 0) {
    const std::string steps =
        std::string(version == 1 ? kFromVersion1 : "") + kFromVersion2;
    QueueResult moved = connection.run(
        "BEGIN;" + steps + functions + "UPDATE quillon_schema SET version = " +
        std::to_string(kQueueSchemaVersion) + "; COMMIT;");
    if (!moved.ok()) {
      connection.run("ROLLBACK");
      return {kExitUsage,
              "the queue's tables could not be brought to version " +
                  std::to_string(kQueueSchemaVersion) + ": " + moved.error()};
    }
    return {kExitDone, "the queue's tables are brought from version " +
                           std::to_string(version) + " to " +
                           std::to_string(kQueueSchemaVersion)};
  }
  const std::string sql = "BEGIN;" + std::string(kTables) + functions +
                          "INSERT INTO quillon_schema VALUES (" +
                          std::to_string(kQueueSchemaVersion) + "); COMMIT;";
  // Several statements: the simple query protocol, one transaction.
  QueueResult made = connection.run(sql);
  if (!made.ok()) {
    connection.run("ROLLBACK");
    return {kExitUsage,
            "the queue's tables could not be made: " + made.error()};
  }
  return {kExitDone,
          "the queue's tables are made (version " +
              std::to_string(kQueueSchemaVersion) + ")",
          true};
}

std::string checkSchema(QueueConnection& connection) {
  auto there = versionThere(connection);
  if (auto* message = std::get_if<std::string>(&there)) return *message;
  const int version = std::get<int>(there);
  if (version == 0)
    return "the queue has no quillon tables: run quillon queue init first";
  if (version == 1 || version == 2) {
    return "the queue's tables are of version " + std::to_string(version) +
           ": quillon queue init brings them to version " +
           std::to_string(kQueueSchemaVersion) +
           " (nothing was changed; stop the stations of older quillon "
           "programs first: they refuse the new version)";
  }
  if (version != kQueueSchemaVersion) return otherVersion(version);
  return {};
}

std::variant<QueueBatch, std::string> findBatch(QueueConnection& connection,
                                                const std::string& name) {
  QueueResult found = connection.run(
      "SELECT id, selection, cards FROM quillon_batches WHERE name = $1",
      {name});
  if (!found.ok()) return "the queue cannot be read: " + found.error();
  if (found.rows() == 1)
    return QueueBatch{found.text(0, 0), name,
                      static_cast<int>(found.number(0, 1)), found.number(0, 2)};
  QueueResult names = connection.run(
      "SELECT coalesce(string_agg(name, ', ' ORDER BY name), '') "
      "FROM quillon_batches");
  const std::string known = names.ok() ? names.text(0, 0) : "";
  return "the queue has no batch named \"" + escapedName(name) + "\"" +
         (known.empty() ? " (it has none: quillon queue load adds one)"
                        : " (it has: " + escapedName(known) + ")");
}

const char* const kWritingNow =
    "EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND granted "
    "AND database = (SELECT oid FROM pg_database "
    "WHERE datname = current_database()) AND classid = hashtext('quillon "
    "station')::oid AND objid = "
    "hashtext(station || E'\\n' || port)::oid AND objsubid = 2)";

std::string stationLockSql(bool take) {
  const std::string key =
      "(hashtext('quillon station'), hashtext($1 || E'\\n' || ";
  const std::string port = key + "$2))";
  const std::string device = key + "$3))";
  // CASE fixes the order: the device's lock is tried only once the port's
  // is held, and the port's is let go again when the device's is not had.
  if (take) {
    return "SELECT CASE WHEN pg_try_advisory_lock" + port +
           " THEN CASE WHEN $2::text = $3::text OR pg_try_advisory_lock" +
           device + " THEN true ELSE NOT pg_advisory_unlock" + port +
           " END ELSE false END";
  }
  return "SELECT CASE WHEN $2::text = $3::text THEN pg_advisory_unlock" + port +
         " ELSE pg_advisory_unlock" + port + " AND pg_advisory_unlock" +
         device + " END";
}

std::vector<QueueParam> stationLockParams(const std::string& station,
                                          const std::string& port) {
  std::string device = port;
  if (char* real = ::realpath(port.c_str(), nullptr)) {
    device = real;
    std::free(real);
  }
  return {station, port, device};
}

}  // namespace quillon::batch
