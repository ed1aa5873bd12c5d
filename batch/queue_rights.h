// Least privilege in the card queue, with PostgreSQL's own means.
//
// A station's steps are functions that run with the rights of the
// tables' owner (SECURITY DEFINER, their search_path fixed to the tables'
// schema): a station's role may call them and read the cards' columns
// that hold no track data, never a card's texts. Each claim records the
// role that made it (session_user); the functions confirm, settle and
// return the texts of that role's cards only. Row security would hide
// whole rows, but a station must count every card of the batch while
// seeing the texts of its own alone: functions plus column rights say
// that exactly.
//
// Three kinds of right, granted to a role the administrator made:
//   loader   loads, settles, pauses, purges and exports batches (texts too)
//   station  the station functions, and what a watcher sees
//   watcher  counts, stations, ports and times: never track data
#pragma once

#include <string>

#include "queue_connection.h"

namespace quillon::batch {

/// SQL that (re)makes the station functions in schema `schema` (quoted
/// already), owned by the role that runs it, callable by no one else
/// until granted.
[[nodiscard]] std::string stationFunctionsSql(const std::string& schema);

/// Gives role `role` the rights of `kind` (loader, station or watcher),
/// taking back any other kind it had: empty, or why not.
[[nodiscard]] std::string grantRights(QueueConnection& connection,
                                      const std::string& kind,
                                      const std::string& role);

}  // namespace quillon::batch
