// The journal of a write batch: one JSON line for each step of a card that
// must survive any end of the program (kill -9 and power loss included),
// each on storage (fdatasync) before the program goes on:
//
//   {"card":7,"state":"sent","port":"/dev/ttyUSB1","time":"..."}
//       card 7's write frame is about to go out at that port;
//   {"card":7,"time":"...","track2":"0000000007","port":"/dev/ttyUSB1"}
//       card 7 is confirmed (the encoder answered, --verify read it back);
//   {"card":7,"state":"unwritten","port":"/dev/ttyUSB1","time":"..."}
//       no card holds card 7 after all (the frame never went out, or the
//       card failed or was read back wrong): card 7 is to be written.
//
// A line that confirms a card has no "state"; every other line has one
// that is not "confirmed". A card whose last line is "sent" is in doubt:
// it may be on a card. Journals of earlier versions, which hold only
// confirming lines without "port", read the same way. A line cut short by
// an end during its write is not counted.
//
// A journal holds card data: it is the user's own file, mode 0600, and
// one program at a time writes it (an exclusive flock for as long as the
// program runs). A file that is not a journal is never changed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "card_records.h"

namespace quillon::batch {

/// A confirmed card as its line holds it.
struct JournalEntry {
  long card = 0;     ///< the card's number in the batch, from 1
  Tracks tracks;     ///< the selected tracks' bytes as written
  std::string port;  ///< as given on the command line; empty in old lines
};

/// What a journal's text holds.
struct JournalText {
  std::vector<JournalEntry> confirmed;  ///< in the journal's order
  std::map<long, std::string> inDoubt;  ///< card -> the port it was sent at
  std::size_t tornBytes = 0;  ///< a line cut short at the end, never counted
};

/// The steps of a card that a line records besides its confirmation.
enum class CardStep { Sent, Unwritten };

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
  /// What take() found.
  [[nodiscard]] const JournalText& contents() const { return contents_; }
  [[nodiscard]] const std::string& path() const { return path_; }
  /// Once the port is open: creates the file (0600) or brings it to 0600,
  /// and cuts off a line that an earlier end left torn. Empty string on
  /// success, else a message.
  std::string startWriting();
  /// Appends the line confirming a card (its port named unless empty) and
  /// waits until it is on storage. A message on failure; a line written
  /// in part is then taken out again.
  std::string append(const CardRecord& record);
  /// The same for a step of card `card` at `port`.
  std::string appendStep(long card, CardStep step, const std::string& port,
                         std::chrono::system_clock::time_point time);

 private:
  /// Holds the journal open as `fd_` for this program alone.
  std::string lock();
  // Flushes the folder that holds the journal, so that its new name lasts.
  std::string syncFolder() const;
  /// Appends `text` (one line) and flushes it. `card`: the card a
  /// confirming line is for (the test seam "journal" may stop the program
  /// between its two halves), else 0.
  std::string appendLine(const std::string& text, long card);

  int fd_ = -1;
  std::string path_;
  std::string name_;  // "the journal batch.jsonl", for messages
  JournalText contents_;
  off_t size_ = 0;  // the file's size when it was read
};

}  // namespace quillon::batch
