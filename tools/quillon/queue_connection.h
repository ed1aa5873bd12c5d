// A connection to the PostgreSQL server that holds the card queue, over
// libpq: each result and the connection freed with their owner, errors
// as one line that says where and why, and a way back after the server
// went away. One thread at a time per connection (libpq's rule).
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quillon::cli {

/// A statement's result.
class QueueResult {
 public:
  QueueResult(PGresult* result, std::string error);

  /// The statement ran (a command, rows, or a COPY waiting for its data).
  [[nodiscard]] bool ok() const { return error_.empty(); }
  /// What the server (or libpq) said when it did not, on one line.
  [[nodiscard]] const std::string& error() const { return error_; }
  /// The SQLSTATE of a failure ("23505"), or empty.
  [[nodiscard]] std::string code() const;
  [[nodiscard]] int rows() const;
  /// Rows an UPDATE or INSERT changed.
  [[nodiscard]] long changed() const;
  [[nodiscard]] bool null(int row, int column) const;
  [[nodiscard]] std::string text(int row, int column) const;
  [[nodiscard]] long number(int row, int column) const;
  [[nodiscard]] double real(int row, int column) const;

 private:
  std::unique_ptr<PGresult, void (*)(PGresult*)> result_;
  std::string error_;
};

/// A statement's parameter: text, or SQL NULL.
using QueueParam = std::optional<std::string>;

class QueueConnection {
 public:
  /// Connects to `url` (a connection string or a postgresql:// URI; what
  /// it leaves out comes from libpq's environment and ~/.pgpass). A
  /// message saying where and why when it cannot.
  [[nodiscard]] static std::variant<QueueConnection, std::string> open(
      const std::string& url);

  /// Why `url` is no connection string or URI at all, or empty.
  [[nodiscard]] static std::string urlProblem(const std::string& url);

  /// Runs `sql` with its $1, $2 ... as text.
  QueueResult run(const std::string& sql,
                  const std::vector<QueueParam>& params = {});
  /// Sends `data` (COPY's text format, a line a row) to the COPY FROM
  /// STDIN that `sql` starts. A message when it fails.
  std::string copyIn(const std::string& sql, const std::string& data);

  /// The connection's socket (for the test seam that drops it).
  [[nodiscard]] int socket() const { return PQsocket(connection_.get()); }
  /// True once the connection broke (the server restarted, the network).
  [[nodiscard]] bool lost() const;
  /// Connects again with the same settings; false while it cannot.
  bool reconnect();
  /// "the server at /run/postgresql (socket, port 5432)" or "... at
  /// db1:5432"
  [[nodiscard]] std::string where() const;
  /// libpq's last message, on one line.
  [[nodiscard]] std::string lastError() const;

 private:
  explicit QueueConnection(PGconn* connection);

  std::unique_ptr<PGconn, void (*)(PGconn*)> connection_;
};

/// Text on one line: libpq's messages span several, with tabs.
[[nodiscard]] std::string oneLine(const char* text);

}  // namespace quillon::cli
