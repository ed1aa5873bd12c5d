// The queue's server as the queue subcommands reach it.
#pragma once

#include <variant>

#include "commands.h"
#include "queue_connection.h"
#include "queue_schema.h"

namespace quillon::cli {

using batch::QueueBatch;
using batch::QueueConnection;

/// The server's connection, its tables checked (unless `init`), or the
/// exit code after a message; kExitInterrupted without one, when the
/// signal of `interruptFd` ended the wait.
std::variant<QueueConnection, int> connectQueue(const QueueOptions& options,
                                                bool init = false,
                                                int interruptFd = -1);

struct OpenBatch {
  QueueConnection connection;
  QueueBatch batch;
};
/// The server's connection and options.batch, or the exit code after a
/// message.
std::variant<OpenBatch, int> openBatch(const QueueOptions& options);

/// A refusal of the server for want of rights ("permission denied for
/// table quillon_cards") said as what the role lacks; any other failure
/// as it is. `what`: the step ("the cards cannot be read").
[[nodiscard]] std::string queueFailure(const std::string& what,
                                       const batch::QueueResult& result);

}  // namespace quillon::cli
