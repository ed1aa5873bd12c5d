// quillon queue status [--watch]: where a batch stands, once or live (a
// supervisor's view: redrawn in place about once a second on a terminal,
// a JSON line a refresh without one). It reads only the columns that hold
// no track data: a watcher's rights are enough.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "card_text.h"
#include "exit_codes.h"
#include "interrupt_source.h"
#include "queue_access.h"

namespace quillon::cli {

namespace {

using batch::QueueResult;
using Json = nlohmann::ordered_json;

constexpr const char* kUtcFormat = "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'";

double tenths(double value) { return std::round(value * 10) / 10; }

// The batch's figures as `status --format json` prints them, or a message.
std::variant<Json, std::string> readStatus(QueueConnection& connection,
                                           const QueueBatch& batch) {
  // The rate: confirmed cards over the time from the first of them sent
  // to the last confirmed; the rate now: those of the last minute.
  QueueResult totals = connection.run(
      "SELECT count(*) FILTER (WHERE state = 'pending'), "
      "count(*) FILTER (WHERE state = 'sent'), "
      "count(*) FILTER (WHERE state = 'confirmed'), "
      "coalesce(extract(epoch FROM max(confirmed_at) FILTER (WHERE timed) "
      "- min(sent_at) FILTER (WHERE timed)), 0), "
      "count(*) FILTER (WHERE timed AND confirmed_at > now() - "
      "interval '1 minute'), "
      "(SELECT state FROM quillon_batches WHERE id = $1) "
      "FROM (SELECT state, sent_at, confirmed_at, "
      "state = 'confirmed' AND NOT settled_by_operator AS timed "
      "FROM quillon_cards WHERE batch_id = $1) AS cards",
      {batch.id});
  // Each station's encoder: its figures, and whether it runs now.
  QueueResult stations = connection.run(
      std::string("SELECT station, port, coalesce(confirmed, 0), "
                  "coalesce(in_doubt, 0), coalesce(last_minute, 0), "
                  "last_card, to_char(last_at AT TIME ZONE 'UTC', ") +
          kUtcFormat + "), " + batch::kWritingNow +
          ", coalesce(failures, 0) FROM (SELECT station, port, "
          "count(*) FILTER (WHERE state = 'confirmed') AS confirmed, "
          "count(*) FILTER (WHERE state = 'sent') AS in_doubt, "
          "count(*) FILTER (WHERE state = 'confirmed' AND NOT "
          "settled_by_operator AND confirmed_at > now() - interval "
          "'1 minute') AS last_minute, "
          "max(number) FILTER (WHERE state = 'confirmed') AS last_card, "
          "max(confirmed_at) AS last_at FROM quillon_cards "
          "WHERE batch_id = $1 AND station IS NOT NULL "
          "GROUP BY station, port) AS encoders FULL JOIN (SELECT station, "
          "port, failures FROM quillon_failures WHERE batch_id = $1) AS "
          "failed USING (station, port) ORDER BY station, port",
      {batch.id});
  QueueResult doubts = connection.run(
      std::string("SELECT number, station, port, "
                  "to_char(sent_at AT TIME ZONE 'UTC', ") +
          kUtcFormat + "), " + batch::kWritingNow +
          " FROM quillon_cards WHERE batch_id = $1 AND state = 'sent' "
          "ORDER BY number",
      {batch.id});
  for (const QueueResult* result : {&totals, &stations, &doubts}) {
    if (!result->ok()) return queueFailure("the queue cannot be read", *result);
  }
  const long confirmed = totals.number(0, 2);
  const double span = totals.real(0, 3);
  const long lastMinute = totals.number(0, 4);
  Json status;
  status["batch"] = batch.name;
  status["state"] = confirmed == batch.cards ? "done" : totals.text(0, 5);
  status["cards"] = batch.cards;
  status["pending"] = totals.number(0, 0);
  status["in_doubt"] = totals.number(0, 1);
  status["confirmed"] = confirmed;
  status["cards_per_minute"] = tenths(span > 0 ? confirmed * 60.0 / span : 0);
  status["cards_last_minute"] = lastMinute;
  status["minutes_to_finish"] =
      lastMinute > 0 ? Json(tenths(double(batch.cards - confirmed) /
                                   static_cast<double>(lastMinute)))
                     : Json();
  status["stations"] = Json::array();
  for (int row = 0; row < stations.rows(); ++row) {
    const bool writing = stations.text(row, 7) == "t";
    status["stations"].push_back(
        {{"station", stations.text(row, 0)},
         {"port", stations.text(row, 1)},
         {"state", writing ? "writing" : "stopped"},
         {"confirmed", stations.number(row, 2)},
         {"in_doubt", stations.number(row, 3)},
         {"cards_last_minute", stations.number(row, 4)},
         {"last_card",
          stations.null(row, 5) ? Json() : Json(stations.number(row, 5))},
         {"last_at",
          stations.null(row, 6) ? Json() : Json(stations.text(row, 6))},
         {"failures", stations.number(row, 8)}});
  }
  status["cards_in_doubt"] = Json::array();
  for (int row = 0; row < doubts.rows(); ++row) {
    status["cards_in_doubt"].push_back(
        {{"card", doubts.number(row, 0)},
         {"station", doubts.text(row, 1)},
         {"port", doubts.text(row, 2)},
         {"sent_at", doubts.text(row, 3)},
         {"writing_now", doubts.text(row, 4) == "t"}});
  }
  return status;
}

std::string printed(const char* format, auto... values) {
  char line[512];
  std::snprintf(line, sizeof line, format, values...);
  return line;
}

// The status as lines of text; `live`: with the rate now and the time to
// finish.
std::vector<std::string> statusLines(const Json& s, bool live) {
  std::vector<std::string> lines;
  std::string head = printed(
      "batch %s: %ld cards; %ld confirmed, %ld pending, %ld in doubt; "
      "%.0f cards/min",
      escapedName(s["batch"].get<std::string>()).c_str(),
      s["cards"].get<long>(), s["confirmed"].get<long>(),
      s["pending"].get<long>(), s["in_doubt"].get<long>(),
      s["cards_per_minute"].get<double>());
  const std::string state = s["state"].get<std::string>();
  if (state != "open") head += "; " + state;
  if (live) {
    head +=
        printed("; %ld in the last minute", s["cards_last_minute"].get<long>());
    if (!s["minutes_to_finish"].is_null() && state != "done")
      head += printed(", done in about %.1f min",
                      s["minutes_to_finish"].get<double>());
  }
  lines.push_back(head);
  for (const auto& e : s["stations"]) {
    std::string line =
        printed("  station %s at %s: %ld confirmed, %ld in doubt",
                escapedName(e["station"].get<std::string>()).c_str(),
                escapedName(e["port"].get<std::string>()).c_str(),
                e["confirmed"].get<long>(), e["in_doubt"].get<long>());
    if (live) {
      line += "; " + e["state"].get<std::string>() +
              printed(", %ld in the last minute",
                      e["cards_last_minute"].get<long>());
      if (!e["last_card"].is_null())
        line += printed(", last card %ld", e["last_card"].get<long>());
      if (e["failures"].get<long>() > 0)
        line += printed(", %ld failed", e["failures"].get<long>());
    }
    lines.push_back(line);
  }
  for (const auto& d : s["cards_in_doubt"]) {
    lines.push_back(
        printed("  card %ld in doubt: sent by station %s at %s, %s; %s",
                d["card"].get<long>(),
                escapedName(d["station"].get<std::string>()).c_str(),
                escapedName(d["port"].get<std::string>()).c_str(),
                d["sent_at"].get<std::string>().c_str(),
                d["writing_now"].get<bool>()
                    ? "that encoder is writing it now"
                    : "that station is not running: starting it again settles "
                      "it, or quillon queue settle"));
  }
  return lines;
}

// Draws `lines` over the `drawn` lines drawn before, each cut to the
// terminal's width (a wrapped line would throw the count off).
void redraw(const std::vector<std::string>& lines, std::size_t& drawn) {
  winsize size{};
  const std::size_t width =
      ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0
          ? size.ws_col
          : 80;
  std::string frame;
  if (drawn > 0) frame += "\x1b[" + std::to_string(drawn) + "F";
  frame += "\x1b[J";
  for (const auto& line : lines)
    frame += (line.size() >= width ? line.substr(0, width - 1) : line) + "\n";
  std::fputs(frame.c_str(), stdout);
  std::fflush(stdout);
  drawn = lines.size();
}

int watch(const QueueOptions& options) {
  InterruptSource interrupt;
  if (!interrupt.install()) {
    complain("cannot watch for Ctrl-C");
    return kExitUsage;
  }
  auto connected = connectQueue(options, false, interrupt.fd());
  if (auto* code = std::get_if<int>(&connected))
    return *code == kExitInterrupted ? kExitDone : *code;
  auto& connection = std::get<QueueConnection>(connected);
  auto found = batch::findBatch(connection, options.batch);
  if (auto* message = std::get_if<std::string>(&found)) {
    complain(*message);
    return kExitUsage;
  }
  const bool terminal = ::isatty(STDOUT_FILENO) != 0;
  std::size_t drawn = 0;
  for (;;) {
    auto read = readStatus(connection, std::get<QueueBatch>(found));
    // Ctrl-C is how a supervisor ends the view: no failure.
    if (interrupt.raised()) return kExitDone;
    if (auto* message = std::get_if<std::string>(&read)) {
      complain(*message);
      return kExitUsage;
    }
    const Json& status = std::get<Json>(read);
    if (terminal) {
      redraw(statusLines(status, true), drawn);
    } else {
      std::printf("%s\n", status.dump().c_str());
      std::fflush(stdout);
    }
    const std::string state = status["state"].get<std::string>();
    if (state == "done" || state == "cancelled") return kExitDone;
    pollfd signal{interrupt.fd(), POLLIN, 0};
    if (::poll(&signal, 1, 1000) > 0) return kExitDone;
  }
}

}  // namespace

int runQueueStatus(const QueueOptions& options) {
  if (options.watch) return watch(options);
  auto opened = openBatch(options);
  if (auto* code = std::get_if<int>(&opened)) return *code;
  auto& [connection, batch] = std::get<OpenBatch>(opened);
  auto read = readStatus(connection, batch);
  if (auto* message = std::get_if<std::string>(&read)) {
    complain(*message);
    return kExitUsage;
  }
  const Json& status = std::get<Json>(read);
  if (options.format == "json") {
    std::printf("%s\n", status.dump().c_str());
    return kExitDone;
  }
  for (const auto& line : statusLines(status, false))
    std::printf("%s\n", line.c_str());
  return kExitDone;
}

}  // namespace quillon::cli
