// A connection to the PostgreSQL server that holds the card queue, over
// libpq: each result and the connection freed with their owner, errors
// as one line that says where and why (never the URL's password), and a
// way back after the server went away. One thread at a time per
// connection (libpq's rule).
//
// Every call is asynchronous underneath and waits in poll() on the
// server's socket and the interrupt descriptor together: a signal during
// a statement cancels it on the server and ends the wait within half a
// second, whatever the server does (a lock held elsewhere, a server
// stopped). A statement begun after the signal (a step that tidies up)
// is given one second.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "queue_password.h"

namespace quillon::batch {

/// A statement's result.
class QueueResult {
 public:
  QueueResult(PGresult* result, std::string error,
              const PasswordMask* mask = nullptr);

  /// The statement ran (a command, rows, or a COPY waiting for its data).
  [[nodiscard]] bool ok() const { return error_.empty(); }
  /// What the server (or libpq) said when it did not, on one line.
  [[nodiscard]] const std::string& error() const { return error_; }
  /// The SQLSTATE of a failure ("23505"), or empty.
  [[nodiscard]] std::string code() const;
  [[nodiscard]] int rows() const;
  /// Rows an UPDATE, INSERT or COPY changed.
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
  /// message saying where and why when it cannot. `interruptFd` (-1:
  /// none) ends the waits (interrupt_source.h).
  [[nodiscard]] static std::variant<QueueConnection, std::string> open(
      const std::string& url, int interruptFd = -1);

  /// Why `url` is no connection string or URI at all, or empty.
  [[nodiscard]] static std::string urlProblem(const std::string& url);

  /// Runs `sql` with its $1, $2 ... as text.
  QueueResult run(const std::string& sql,
                  const std::vector<QueueParam>& params = {});
  /// Sends the data of the COPY FROM STDIN that `sql` starts, piece by
  /// piece: `next` fills its string (COPY's text format, a line a row, a
  /// few kilobytes) and returns false after the last. The COPY's result
  /// (changed(): the rows the server took).
  QueueResult copyIn(const std::string& sql,
                     const std::function<bool(std::string&)>& next);

  /// The connection's socket (for the test seam that drops it).
  [[nodiscard]] int socket() const { return PQsocket(connection_.get()); }
  /// True once the connection broke (the server restarted, the network).
  [[nodiscard]] bool lost() const;
  /// True once a signal ended a wait: nothing more is sent on it.
  [[nodiscard]] bool stopped() const { return stopped_; }
  /// Connects again with the same settings; false while it cannot.
  bool reconnect();
  /// "the server at /run/postgresql (socket, port 5432)" or "... at
  /// db1:5432"
  [[nodiscard]] std::string where() const;
  /// libpq's last message, on one line.
  [[nodiscard]] std::string lastError() const;

 private:
  using Clock = std::chrono::steady_clock;
  enum class Wait { Ready, Interrupted, TimedOut };

  QueueConnection(PGconn* connection, int interruptFd, PasswordMask mask);
  /// Drives PQconnectPoll (or PQresetPoll) to its end within the
  /// connect_timeout; a message when it fails.
  std::string finishConnecting(bool reset);
  /// Waits for `events` on the socket, the signal (unless a statement
  /// begun after it) or `deadline`.
  Wait waitFor(short events, std::optional<Clock::time_point> deadline,
               bool watchInterrupt);
  /// Sends what libpq holds and takes the statement's results: the
  /// first failure, else the last (a COPY waiting for data ends it).
  QueueResult results();
  /// Asks the server to cancel the statement (on a thread of its own:
  /// PQcancel waits for a server that may not answer).
  void cancel();
  QueueResult failure(const std::string& why) const;
  /// Why the connection failed, `why` being libpq's word: the server
  /// refused the login (no password found, or a wrong one), or it cannot
  /// be reached.
  [[nodiscard]] std::string refusal(const std::string& why) const;
  /// The password file libpq looks in.
  [[nodiscard]] std::string passwordFile() const;

  std::unique_ptr<PGconn, void (*)(PGconn*)> connection_;
  int interruptFd_ = -1;
  PasswordMask mask_;
  bool stopped_ = false;
};

/// Text on one line: libpq's messages span several, with tabs.
[[nodiscard]] std::string oneLine(const char* text);

/// True when the interrupt descriptor `fd` is readable (a signal came).
[[nodiscard]] bool signalled(int fd);

}  // namespace quillon::batch
