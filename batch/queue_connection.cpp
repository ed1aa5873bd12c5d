#include "queue_connection.h"

#include <poll.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <thread>

namespace quillon::batch {

namespace {

using namespace std::chrono_literals;

// A statement begun after the signal (a step that tidies up) gets this
// long before it is cancelled; a cancelled one this long to end.
constexpr auto kGraceAfterSignal = 500ms;
constexpr auto kCancelWait = 500ms;
// Unless the URL says otherwise: a server that does not answer is given
// up within seconds, not minutes.
constexpr int kConnectSeconds = 10;

constexpr const char* kStopped = "stopped by a signal";

bool isCopy(ExecStatusType status) {
  return status == PGRES_COPY_IN || status == PGRES_COPY_OUT ||
         status == PGRES_COPY_BOTH;
}

bool isFailure(ExecStatusType status) {
  return status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE;
}

// The connect_timeout the connection uses, in seconds.
int connectSeconds(PGconn* connection) {
  int seconds = kConnectSeconds;
  if (PQconninfoOption* options = PQconninfo(connection)) {
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
      if (o->val != nullptr && std::string(o->keyword) == "connect_timeout")
        seconds = std::atoi(o->val);
    }
    PQconninfoFree(options);
  }
  // libpq's own rule: none or 0 waits for ever, 1 counts as 2.
  return seconds <= 0 ? 0 : std::max(seconds, 2);
}

}  // namespace

std::string oneLine(const char* text) {
  std::string line;
  for (const char* c = text; c != nullptr && *c != '\0'; ++c) {
    const bool space = *c == '\n' || *c == '\t' || *c == '\r' || *c == ' ';
    if (space) {
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else {
      line += *c;
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

bool signalled(int fd) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

QueueResult::QueueResult(PGresult* result, std::string error,
                         const PasswordMask* mask)
    : result_(result, PQclear), error_(std::move(error)) {
  if (error_.empty()) {
    const ExecStatusType status =
        result == nullptr ? PGRES_FATAL_ERROR : PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK &&
        status != PGRES_COPY_IN) {
      error_ = oneLine(result == nullptr ? "no result"
                                         : PQresultErrorMessage(result));
      if (error_.empty()) error_ = PQresStatus(status);
    }
  }
  if (mask != nullptr) error_ = mask->hidden(error_);
}

std::string QueueResult::code() const {
  const char* state =
      result_ ? PQresultErrorField(result_.get(), PG_DIAG_SQLSTATE) : nullptr;
  return state != nullptr ? state : "";
}

int QueueResult::rows() const { return result_ ? PQntuples(result_.get()) : 0; }

long QueueResult::changed() const {
  return result_ ? std::atol(PQcmdTuples(result_.get())) : 0;
}

bool QueueResult::null(int row, int column) const {
  return PQgetisnull(result_.get(), row, column) != 0;
}

std::string QueueResult::text(int row, int column) const {
  return PQgetvalue(result_.get(), row, column);
}

long QueueResult::number(int row, int column) const {
  return std::atol(PQgetvalue(result_.get(), row, column));
}

double QueueResult::real(int row, int column) const {
  return std::atof(PQgetvalue(result_.get(), row, column));
}

QueueConnection::QueueConnection(PGconn* connection, int interruptFd,
                                 PasswordMask mask)
    : connection_(connection, PQfinish),
      interruptFd_(interruptFd),
      mask_(std::move(mask)) {}

std::variant<QueueConnection, std::string> QueueConnection::open(
    const std::string& url, int interruptFd) {
  // Defaults that the URL may override (it comes after them): a network
  // that goes silent is noticed, while waiting (keepalives) and while
  // sending (tcp_user_timeout, ms).
  const std::array<const char*, 10> keys{
      "connect_timeout",  "keepalives",
      "keepalives_idle",  "keepalives_interval",
      "keepalives_count", "tcp_user_timeout",
      "client_encoding",  "application_name",
      "dbname",           nullptr};
  const std::string connectTimeout = std::to_string(kConnectSeconds);
  const std::array<const char*, 10> values{connectTimeout.c_str(),
                                           "1",
                                           "10",
                                           "5",
                                           "3",
                                           "10000",
                                           "UTF8",
                                           "quillon",
                                           url.c_str(),
                                           nullptr};
  PGconn* started =
      PQconnectStartParams(keys.data(), values.data(), /*expand_dbname=*/1);
  if (started == nullptr) return std::string("out of memory");
  QueueConnection connection(started, interruptFd, PasswordMask(url));
  if (auto why = connection.finishConnecting(false); !why.empty())
    return connection.mask_.hidden(connection.refusal(why));
  return connection;
}

std::string QueueConnection::refusal(const std::string& why) const {
  PGconn* c = connection_.get();
  const std::string user = PQuser(c) != nullptr ? PQuser(c) : "";
  const std::string login = " refused the login of user \"" + user + "\"";
  // The server was reached and asked for a password: libpq found none.
  if (PQconnectionNeedsPassword(c) != 0) {
    return "the queue's " + where() + login +
           ": it asks for a password and none was given; libpq looks for "
           "it in " +
           passwordFile() +
           " (a line host:port:database:user:password, "
           "mode 0600) or in PGPASSWORD";
  }
  if (PQconnectionUsedPassword(c) != 0)
    return "the queue's " + where() + login + ": " + why;
  const bool aboutCertificates = why.find("certificate") != std::string::npos;
  // The server's own refusal (FATAL): it wants this client's certificate.
  if (aboutCertificates && why.find("FATAL:") != std::string::npos) {
    return "the queue's " + where() +
           " refused this client's certificate (TLS: sslcert, sslkey): " + why;
  }
  // Reached, but TLS could not verify that it is the server named: a CA
  // that did not sign its certificate, a host name it does not name.
  if (aboutCertificates || why.find("SSL error") != std::string::npos) {
    return "the queue's " + where() +
           " is not trusted (TLS: sslmode, sslrootcert, the server's "
           "certificate): " +
           why;
  }
  return "cannot reach the queue's " + where() + ": " + why;
}

std::string QueueConnection::passwordFile() const {
  // The file libpq read: the URL's passfile, else PGPASSFILE, else the
  // home folder's.
  std::string file;
  PQconninfoOption* options = PQconninfo(connection_.get());
  for (auto* option = options; option != nullptr && option->keyword != nullptr;
       ++option) {
    if (std::string_view(option->keyword) == "passfile" &&
        option->val != nullptr)
      file = option->val;
  }
  PQconninfoFree(options);
  if (file.empty()) {
    const char* env = std::getenv("PGPASSFILE");
    const char* home = std::getenv("HOME");
    file = env != nullptr && *env != '\0' ? env
           : home != nullptr              ? std::string(home) + "/.pgpass"
                                          : "~/.pgpass";
  }
  return file;
}

std::string QueueConnection::urlProblem(const std::string& url) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
  if (options != nullptr) {
    PQconninfoFree(options);
    return {};
  }
  std::string why = error != nullptr ? oneLine(error) : "out of memory";
  PQfreemem(error);
  // libpq quotes the URL whole in some of its messages.
  return "the queue's URL is not a connection string or postgresql:// URI: " +
         PasswordMask(url).hidden(why);
}

std::string QueueConnection::finishConnecting(bool reset) {
  PGconn* c = connection_.get();
  if (PQstatus(c) == CONNECTION_BAD) return lastError();
  const int seconds = connectSeconds(c);
  std::optional<Clock::time_point> deadline;
  if (seconds > 0) deadline = Clock::now() + std::chrono::seconds(seconds);
  // libpq's rule: as if the last poll had asked to write.
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (state != PGRES_POLLING_OK) {
    if (state == PGRES_POLLING_FAILED) return lastError();
    const short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
    switch (waitFor(events, deadline, true)) {
      case Wait::Interrupted: stopped_ = true; return kStopped;
      case Wait::TimedOut:
        return "no answer within " + std::to_string(seconds) + " s";
      case Wait::Ready: break;
    }
    state = reset ? PQresetPoll(c) : PQconnectPoll(c);
  }
  // Sending never blocks: every wait is in waitFor().
  if (PQsetnonblocking(c, 1) != 0) return lastError();
  return {};
}

QueueConnection::Wait QueueConnection::waitFor(
    short events, std::optional<Clock::time_point> deadline,
    bool watchInterrupt) {
  for (;;) {
    const int socket = PQsocket(connection_.get());
    if (socket < 0) return Wait::Ready;  // libpq says why
    std::array<pollfd, 2> fds{{{socket, events, 0}, {interruptFd_, POLLIN, 0}}};
    const nfds_t count = watchInterrupt && interruptFd_ >= 0 ? 2 : 1;
    int timeout = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *deadline - Clock::now());
      if (left.count() <= 0) return Wait::TimedOut;
      timeout = static_cast<int>(left.count());
    }
    const int ready = ::poll(fds.data(), count, timeout);
    if (ready < 0 && errno != EINTR) return Wait::Ready;  // libpq says why
    if (count == 2 && (fds[1].revents & POLLIN) != 0) return Wait::Interrupted;
    if (ready > 0) return Wait::Ready;
  }
}

QueueResult QueueConnection::failure(const std::string& why) const {
  return QueueResult(nullptr, why.empty() ? "no answer" : why, &mask_);
}

void QueueConnection::cancel() {
  PGcancel* request = PQgetCancel(connection_.get());
  if (request == nullptr) return;
  try {
    std::thread([request] {
      std::array<char, 256> error{};
      PQcancel(request, error.data(), static_cast<int>(error.size()));
      PQfreeCancel(request);
    }).detach();
  } catch (const std::system_error&) {
    PQfreeCancel(request);  // no thread: the wait's end still comes
  }
}

QueueResult QueueConnection::run(const std::string& sql,
                                 const std::vector<QueueParam>& params) {
  if (stopped_) return failure(kStopped);
  std::vector<const char*> values;
  for (const QueueParam& param : params)
    values.push_back(param ? param->c_str() : nullptr);
  PGconn* c = connection_.get();
  // Without parameters: the simple protocol, which runs several
  // statements in one string.
  const int sent =
      values.empty()
          ? PQsendQuery(c, sql.c_str())
          : PQsendQueryParams(c, sql.c_str(), static_cast<int>(values.size()),
                              nullptr, values.data(), nullptr, nullptr, 0);
  if (sent != 1) return failure(lastError());
  return results();
}

QueueResult QueueConnection::results() {
  PGconn* c = connection_.get();
  const bool late = signalled(interruptFd_);
  std::optional<Clock::time_point> deadline;
  if (late) deadline = Clock::now() + kGraceAfterSignal;
  bool cancelled = false;
  std::unique_ptr<PGresult, void (*)(PGresult*)> kept(nullptr, PQclear);
  for (;;) {
    const int flushed = PQflush(c);
    if (flushed < 0) return failure(lastError());
    if (flushed == 0 && PQisBusy(c) == 0) {
      PGresult* next = PQgetResult(c);
      if (next == nullptr) break;
      const ExecStatusType status = PQresultStatus(next);
      if (kept && isFailure(PQresultStatus(kept.get())))
        PQclear(next);  // the first failure says why
      else
        kept.reset(next);
      if (isCopy(status) || PQstatus(c) == CONNECTION_BAD) break;
      continue;
    }
    const short events = POLLIN | (flushed == 1 ? POLLOUT : 0);
    if (waitFor(events, deadline, !late && !cancelled) != Wait::Ready) {
      if (cancelled) {
        // The server answers neither: the connection is given up.
        stopped_ = true;
        return failure(std::string(kStopped) +
                       "; the server did not answer its cancel");
      }
      cancel();
      cancelled = true;
      deadline = Clock::now() + kCancelWait;
      continue;
    }
    if (PQconsumeInput(c) == 0) return failure(lastError());
  }
  if (!kept) return failure(lastError());
  return QueueResult(kept.release(), {}, &mask_);
}

QueueResult QueueConnection::copyIn(
    const std::string& sql, const std::function<bool(std::string&)>& next) {
  QueueResult started = run(sql);
  if (!started.ok()) return started;
  PGconn* c = connection_.get();
  // Waits until libpq's buffer has gone to the server, so that it never
  // holds more than a piece.
  const auto sendAll = [&]() -> std::string {
    for (;;) {
      const int flushed = PQflush(c);
      if (flushed == 0) return {};
      if (flushed < 0) return lastError();
      if (waitFor(POLLOUT | POLLIN, std::nullopt, true) == Wait::Interrupted) {
        stopped_ = true;
        return kStopped;
      }
      if (PQconsumeInput(c) == 0) return lastError();
    }
  };
  // A server that refused the data has said why: its answer, not libpq's
  // "no COPY in progress".
  const auto refused = [&](const std::string& problem) {
    if (stopped_ || lost()) return failure(problem);
    QueueResult answer = results();
    if (answer.ok()) return failure(problem);
    return answer;
  };
  std::string piece;
  for (bool more = true; more;) {
    piece.clear();
    more = next(piece);
    int put = 0;
    while (!piece.empty() && put == 0) {  // 0: libpq's buffer is full
      put = PQputCopyData(c, piece.data(), static_cast<int>(piece.size()));
      if (put < 0) return refused(lastError());
      if (auto problem = sendAll(); !problem.empty()) return refused(problem);
    }
  }
  if (PQputCopyEnd(c, nullptr) != 1) return refused(lastError());
  return results();
}

bool QueueConnection::lost() const {
  return PQstatus(connection_.get()) == CONNECTION_BAD;
}

bool QueueConnection::reconnect() {
  if (stopped_ || PQresetStart(connection_.get()) != 1) return false;
  return finishConnecting(true).empty();
}

std::string QueueConnection::where() const {
  PGconn* c = connection_.get();
  const std::string host = PQhost(c) != nullptr ? PQhost(c) : "";
  const std::string port = PQport(c) != nullptr ? PQport(c) : "";
  if (host.empty() || host.front() == '/')
    return mask_.hidden(
        "server at " +
        (host.empty() ? std::string("the default socket") : host) +
        " (socket, port " + port + ")");
  return mask_.hidden("server at " + host + ":" + port);
}

std::string QueueConnection::lastError() const {
  return mask_.hidden(oneLine(PQerrorMessage(connection_.get())));
}

}  // namespace quillon::batch
