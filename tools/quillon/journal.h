// The journal of a write batch: one JSON line per card the encoder
// confirmed (and --verify read back), each made durable (fdatasync)
// before the next card is started, so that --resume can go on after the
// last confirmed card after any interruption, kill -9 and power loss
// included. A line cut short by such an end is not counted.
//
// A journal holds card data: it is the user's own file, mode 0600, and
// one program at a time writes it (an exclusive flock for as long as the
// program runs). A file that is not a journal is never changed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "card_records.h"

namespace quillon::cli {

struct JournalEntry {
  long card = 0;  ///< the card's number in the batch, from 1
  Tracks tracks;  ///< the selected tracks' bytes as written
};

/// What a journal's text holds.
struct JournalText {
  std::optional<JournalEntry> last;  ///< the last confirmed card
  std::size_t tornBytes = 0;  ///< a line cut short at the end, never counted
};

/// Reads a journal's text: every whole line a journal line, and after the
/// last line end nothing or the start of one. A message naming `name` and
/// the line where the text is not a journal.
[[nodiscard]] std::variant<JournalText, std::string> readJournalText(
    std::string_view text, const std::string& name);

class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  /// Before the port is opened: takes the journal for this program alone
  /// and reads it, changing nothing. A missing file is an empty journal.
  /// Empty string on success, else a message (another program holds it,
  /// it is not the user's regular file, or it is not a journal).
  std::string take(const std::string& path);
  /// The last confirmed card that take() found.
  [[nodiscard]] const std::optional<JournalEntry>& last() const {
    return contents_.last;
  }
  /// Once the port is open: creates the file (0600) or brings it to 0600,
  /// and cuts off a line that an earlier end left torn. Empty string on
  /// success, else a message.
  std::string startWriting();
  /// Appends one card and waits until it is on storage. A message on
  /// failure; a line written in part is then taken out again.
  std::string append(const CardRecord& record);

 private:
  /// Holds the journal open as `fd_` for this program alone.
  std::string lock();

  int fd_ = -1;
  std::string path_;
  std::string name_;  // "the journal batch.jsonl", for messages
  JournalText contents_;
  off_t size_ = 0;  // the file's size when it was read
};

}  // namespace quillon::cli
