#include "queue_rights.h"

#include "card_text.h"
#include "queue_schema.h"

namespace quillon::batch {

namespace {

// The station functions and their parameter types: what is granted.
constexpr const char* kStationFunctions =
    "FUNCTION quillon_claim(bigint, text, text, text), "
    "quillon_still_sent(bigint, bigint, text, text), "
    "quillon_confirm(bigint, bigint, text, text, double precision), "
    "quillon_unclaim(bigint, text, bigint), "
    "quillon_put_back(bigint, text, text), "
    "quillon_station_doubts(bigint, text), "
    "quillon_note_failure(bigint, text, text)";

// The cards' columns that hold no track data.
constexpr const char* kPlainColumns =
    "(batch_id, number, state, station, port, sent_at, confirmed_at, "
    "settled_by_operator)";

}  // namespace

std::string stationFunctionsSql(const std::string& schema) {
  const std::string head =
      " LANGUAGE sql SECURITY DEFINER SET search_path = " + schema +
      ", pg_temp AS $body$ ";
  const std::string tail = " $body$;";
  // The cards of the calling role's claims: the session's login role, not
  // the owner these functions run as.
  const std::string mine = " AND claimed_by = session_user";
  const std::string backToPending =
      "WITH done AS (UPDATE quillon_cards SET state = 'pending', "
      "station = NULL, port = NULL, sent_at = NULL, claim_id = NULL, "
      "claimed_by = NULL WHERE batch_id = b AND state = 'sent' "
      "AND station = st" +
      mine;
  return
      // The lowest pending card of an open batch, marked sent in the same
      // statement: rows other stations hold are skipped, not waited for.
      "CREATE OR REPLACE FUNCTION quillon_claim(b bigint, st text, pt text, "
      "claim text) RETURNS TABLE (card bigint, t1 text, t2 text, t3 text)" +
      head +
      "UPDATE quillon_cards SET state = 'sent', station = st, port = pt, "
      "sent_at = now(), confirmed_at = NULL, claim_id = claim, "
      "claimed_by = session_user WHERE batch_id = b AND number = ("
      "SELECT c.number FROM quillon_cards c WHERE c.batch_id = b AND "
      "c.state = 'pending' AND (SELECT s.state FROM quillon_batches s "
      "WHERE s.id = b) = 'open' ORDER BY c.number LIMIT 1 "
      "FOR UPDATE SKIP LOCKED) RETURNING number, track1, track2, track3" +
      tail +
      // A card in doubt written anew at port pt.
      "CREATE OR REPLACE FUNCTION quillon_still_sent(b bigint, n bigint, "
      "st text, pt text) RETURNS bigint" +
      head +
      "WITH done AS (UPDATE quillon_cards SET sent_at = now(), port = pt "
      "WHERE batch_id = b AND number = n AND station = st AND "
      "state = 'sent'" +
      mine + " RETURNING 1) SELECT count(*) FROM done" + tail +
      "CREATE OR REPLACE FUNCTION quillon_confirm(b bigint, n bigint, "
      "st text, pt text, stamp double precision) RETURNS bigint" +
      head +
      "WITH done AS (UPDATE quillon_cards SET state = 'confirmed', port = pt, "
      "confirmed_at = to_timestamp(stamp) WHERE batch_id = b AND number = n "
      "AND station = st AND state <> 'pending'" +
      mine + " RETURNING 1) SELECT count(*) FROM done" + tail +
      "CREATE OR REPLACE FUNCTION quillon_unclaim(b bigint, st text, "
      "n bigint) RETURNS bigint" +
      head + backToPending +
      " AND number = n RETURNING 1) SELECT count(*) FROM done" + tail +
      // The claim whose commit was not seen, if it committed.
      "CREATE OR REPLACE FUNCTION quillon_put_back(b bigint, st text, "
      "claim text) RETURNS bigint" +
      head + backToPending +
      " AND claim_id = claim RETURNING 1) SELECT count(*) FROM done" + tail +
      // The station's cards in doubt, with their texts: this role's only.
      "CREATE OR REPLACE FUNCTION quillon_station_doubts(b bigint, st text) "
      "RETURNS TABLE (card bigint, t1 text, t2 text, t3 text, at_port text, "
      "writing boolean)" +
      head + "SELECT number, track1, track2, track3, port, " + kWritingNow +
      " FROM quillon_cards WHERE batch_id = b AND state = 'sent' AND "
      "station = st" +
      mine + " ORDER BY number" + tail +
      // A card that failed at station st's port pt: counted.
      "CREATE OR REPLACE FUNCTION quillon_note_failure(b bigint, st text, "
      "pt text) RETURNS void" +
      head +
      "INSERT INTO quillon_failures VALUES (b, st, pt, 1, now()) "
      "ON CONFLICT (batch_id, station, port) DO UPDATE SET failures = "
      "quillon_failures.failures + 1, last_at = now()" +
      tail +
      // Functions are anyone's to call unless taken back.
      "REVOKE ALL ON " + kStationFunctions + " FROM PUBLIC;";
}

std::string grantRights(QueueConnection& connection, const std::string& kind,
                        const std::string& role) {
  QueueResult found = connection.run(
      "SELECT quote_ident(rolname), oid = (SELECT relowner FROM pg_class "
      "WHERE oid = 'quillon_cards'::regclass) FROM pg_roles "
      "WHERE rolname = $1",
      {role});
  if (!found.ok()) return "the queue cannot be read: " + found.error();
  if (found.rows() != 1) {
    return "the server has no role named \"" + escapedName(role) +
           "\": its administrator makes it (CREATE ROLE ... LOGIN PASSWORD "
           "...); nothing was changed";
  }
  // Taking the owner's rights back would stop the queue for everyone.
  if (found.text(0, 1) == "t") {
    return "role \"" + escapedName(role) +
           "\" owns the queue's tables: it has every right already; nothing "
           "was changed";
  }
  const std::string to = " TO " + found.text(0, 0) + ";";
  const std::string watcher =
      "GRANT SELECT ON quillon_schema, quillon_batches, quillon_failures" + to +
      "GRANT SELECT " + kPlainColumns + " ON quillon_cards" + to;
  std::string grants;
  if (kind == "watcher") grants = watcher;
  if (kind == "station")
    grants = watcher + "GRANT EXECUTE ON " + kStationFunctions + to;
  if (kind == "loader") {
    grants = "GRANT SELECT ON quillon_schema, quillon_failures" + to +
             "GRANT SELECT, INSERT, UPDATE ON quillon_batches, "
             "quillon_cards" +
             to + "GRANT USAGE ON SEQUENCE quillon_batches_id_seq" + to;
  }
  const std::string from = " FROM " + found.text(0, 0) + ";";
  // One kind at a time: what the role had of the others is taken back.
  const std::string sql =
      "BEGIN; REVOKE ALL ON quillon_schema, quillon_batches, quillon_cards, "
      "quillon_failures" +
      from + "REVOKE ALL ON SEQUENCE quillon_batches_id_seq" + from +
      "REVOKE ALL ON " + kStationFunctions + from + grants + "COMMIT;";
  QueueResult granted = connection.run(sql);
  if (!granted.ok()) {
    connection.run("ROLLBACK");
    return "the rights could not be given: " + granted.error();
  }
  return {};
}

}  // namespace quillon::batch
