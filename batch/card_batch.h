// The cards a write batch puts on the encoder, in order: texts given once
// and counted up with --increment (the digit run at the end of a text,
// as Velmora's auto-increment counts it), or one CSV row per card.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "card_records.h"

namespace quillon::batch {

struct Increment {
  int track = 2;
  std::int32_t step = 1;
};

/// "TRACK:STEP", a track 1..3 and a signed 32-bit step.
[[nodiscard]] std::variant<Increment, std::string> parseIncrement(
    std::string_view text);

class CardBatch {
 public:
  /// Texts as card bytes (empty optional: track not written).
  [[nodiscard]] static std::variant<CardBatch, std::string> fromTexts(
      const std::array<std::optional<std::string>, 3>& texts,
      const std::vector<Increment>& increments, std::size_t count);
  /// Columns track1, track2, track3 (any of them, each once; names without
  /// regard to case or surrounding spaces) choose the tracks; other columns
  /// are left alone. A leading UTF-8 byte-order mark is dropped. Messages
  /// name the line.
  [[nodiscard]] static std::variant<CardBatch, std::string> fromCsv(
      const std::string& path);
  /// The same for CSV text already read; `path` names it in messages.
  [[nodiscard]] static std::variant<CardBatch, std::string> fromCsvText(
      std::string_view text, const std::string& path);

  [[nodiscard]] int selection() const { return selection_; }
  [[nodiscard]] std::size_t size() const { return count_; }
  /// Card `index` (from 0). Counting forward is cheap; going back starts
  /// over from the first card.
  [[nodiscard]] const Tracks& at(std::size_t index);
  /// The first problem of any card (a text too long, a separator, a count
  /// passing below zero), or empty when every card can be written. A card
  /// of a CSV file is named by its file and line. `limits`: the most
  /// characters of tracks 1 to 3 (0: the encoder's own limit), with
  /// `overNote` added to a message about a text over one.
  [[nodiscard]] std::optional<std::string> check(
      const std::array<std::size_t, 3>& limits = {},
      const std::string& overNote = {});
  /// Letters a to z of every card's track 1 as A to Z; true when that
  /// changed a text.
  bool upperCaseTrack1();

 private:
  int selection_ = 0;
  std::size_t count_ = 0;
  std::vector<Tracks> rows_;           // from a CSV file; empty when counted
  std::vector<std::size_t> rowLines_;  // the line each row ends on
  std::string path_;                   // the CSV file
  Tracks first_;
  std::vector<Increment> increments_;
  Tracks current_;
  std::size_t currentIndex_ = 0;
  std::optional<std::string> countingProblem_;
};

}  // namespace quillon::batch
