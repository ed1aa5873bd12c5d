#include "queue_connection.h"

#include <array>
#include <cstdlib>

namespace quillon::cli {

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

QueueResult::QueueResult(PGresult* result, std::string error)
    : result_(result, PQclear), error_(std::move(error)) {
  if (!error_.empty()) return;
  const ExecStatusType status =
      result == nullptr ? PGRES_FATAL_ERROR : PQresultStatus(result);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK &&
      status != PGRES_COPY_IN) {
    error_ =
        oneLine(result == nullptr ? "no result" : PQresultErrorMessage(result));
    if (error_.empty()) error_ = PQresStatus(status);
  }
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

QueueConnection::QueueConnection(PGconn* connection)
    : connection_(connection, PQfinish) {}

std::variant<QueueConnection, std::string> QueueConnection::open(
    const std::string& url) {
  // Defaults that the URL may override (it comes after them): a server
  // that does not answer is given up within seconds, not minutes, and a
  // network that goes silent is noticed.
  const std::array<const char*, 8> keys{"connect_timeout",
                                        "keepalives_idle",
                                        "keepalives_interval",
                                        "keepalives_count",
                                        "client_encoding",
                                        "application_name",
                                        "dbname",
                                        nullptr};
  const std::array<const char*, 8> values{
      "10", "10", "5", "3", "UTF8", "quillon", url.c_str(), nullptr};
  QueueConnection connection(
      PQconnectdbParams(keys.data(), values.data(), /*expand_dbname=*/1));
  if (!connection.connection_) return std::string("out of memory");
  if (PQstatus(connection.connection_.get()) != CONNECTION_OK) {
    const std::string why = connection.lastError();
    return "cannot reach the queue's " + connection.where() + ": " + why;
  }
  return connection;
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
  // The URL itself is not repeated: it may hold a password.
  return "the queue's URL is not a connection string or postgresql:// URI: " +
         why;
}

QueueResult QueueConnection::run(const std::string& sql,
                                 const std::vector<QueueParam>& params) {
  std::vector<const char*> values;
  for (const QueueParam& param : params)
    values.push_back(param ? param->c_str() : nullptr);
  // Without parameters: the simple protocol, which runs several
  // statements in one string.
  PGresult* result =
      values.empty() ? PQexec(connection_.get(), sql.c_str())
                     : PQexecParams(connection_.get(), sql.c_str(),
                                    static_cast<int>(values.size()), nullptr,
                                    values.data(), nullptr, nullptr, 0);
  return QueueResult(result, result == nullptr ? lastError() : std::string());
}

std::string QueueConnection::copyIn(const std::string& sql,
                                    const std::string& data) {
  PGconn* c = connection_.get();
  QueueResult started(PQexec(c, sql.c_str()), {});
  if (!started.ok()) return started.error();
  if (PQputCopyData(c, data.data(), static_cast<int>(data.size())) != 1 ||
      PQputCopyEnd(c, nullptr) != 1)
    return lastError();
  // The COPY's own result, then none.
  std::string problem;
  while (PGresult* result = PQgetResult(c)) {
    QueueResult done(result, {});
    if (!done.ok() && problem.empty()) problem = done.error();
  }
  return problem;
}

bool QueueConnection::lost() const {
  return PQstatus(connection_.get()) == CONNECTION_BAD;
}

bool QueueConnection::reconnect() {
  PQreset(connection_.get());
  return PQstatus(connection_.get()) == CONNECTION_OK;
}

std::string QueueConnection::where() const {
  PGconn* c = connection_.get();
  const std::string host = PQhost(c) != nullptr ? PQhost(c) : "";
  const std::string port = PQport(c) != nullptr ? PQport(c) : "";
  if (host.empty() || host.front() == '/')
    return "server at " +
           (host.empty() ? std::string("the default socket") : host) +
           " (socket, port " + port + ")";
  return "server at " + host + ":" + port;
}

std::string QueueConnection::lastError() const {
  return oneLine(PQerrorMessage(connection_.get()));
}

}  // namespace quillon::cli
