// The journal of a write batch: one JSON line per card the encoder
// confirmed (and --verify read back), each made durable (fdatasync)
// before the next card is started, so that --resume can go on after the
// last confirmed card after any interruption, kill -9 and power loss
// included. A line cut short by such an end is not counted.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "card_records.h"

namespace quillon::cli {

struct JournalEntry {
  long card = 0;  ///< the card's number in the batch, from 1
  Tracks tracks;  ///< the selected tracks' bytes as written
};

/// The last confirmed card in `path`; empty optional when the journal is
/// missing or holds none; a message when it cannot be read or a complete
/// line is not a journal line.
[[nodiscard]] std::variant<std::optional<JournalEntry>, std::string>
lastJournalEntry(const std::string& path);

class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  /// Opens (creating, mode 0600: it holds card data) for appending.
  /// Empty string on success, else a message.
  std::string open(const std::string& path);
  /// Appends one card and waits until it is on storage. A message on
  /// failure; a line written in part is then taken out again.
  std::string append(const CardRecord& record);

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace quillon::cli
