#include "card_batch.h"

#include <csv.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "card_text.h"
#include "encoder_protocol.h"
#include "track_increment.h"

namespace quillon::batch {

namespace {

std::string trackName(int track) { return "track " + std::to_string(track); }

// What libcsv hands back while a file is parsed.
struct CsvRows {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::size_t> rowLines;  // the line each row ends on
  std::vector<std::string> fields;
  std::size_t line = 1;
};

void onField(void* data, std::size_t size, void* parsed) {
  auto& csv = *static_cast<CsvRows*>(parsed);
  csv.fields.emplace_back(static_cast<const char*>(data), size);
}

void onRowEnd(int, void* parsed) {
  auto& csv = *static_cast<CsvRows*>(parsed);
  csv.rows.push_back(std::move(csv.fields));
  csv.rowLines.push_back(csv.line);
  csv.fields.clear();
}

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// The track a header name stands for (1 to 3), or 0: "track2", "Track2"
// and " track2 " all name track 2, as a person typing a header means.
int trackOfColumn(std::string_view name) {
  const auto first = name.find_first_not_of(" \t");
  if (first == std::string_view::npos) return 0;
  name = name.substr(first, name.find_last_not_of(" \t") + 1 - first);
  constexpr std::string_view kPrefix = "track";
  if (name.size() != kPrefix.size() + 1 || name.back() < '1' ||
      name.back() > '3')
    return 0;
  for (std::size_t i = 0; i < kPrefix.size(); ++i) {
    if ((name[i] | 0x20) != kPrefix[i]) return 0;  // ASCII letters only
  }
  return name.back() - '0';
}

// Fields as RFC 4180 has them: spaces and tabs are part of a field (a
// parser that trimmed them would put other text on the card than the file
// holds, and a track 1 may start or end with a space).
int noSpaceIsPadding(unsigned char) { return 0; }

std::variant<CsvRows, std::string> parseCsvText(std::string_view text,
                                                const std::string& name) {
  csv_parser parser;
  if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI) != 0)
    return "cannot set up the CSV parser";
  const std::unique_ptr<csv_parser, void (*)(csv_parser*)> owner(&parser,
                                                                 csv_free);
  csv_set_space_func(&parser, noSpaceIsPadding);
  CsvRows csv;
  // Fed line by line, so that an error names the line it is on.
  for (std::size_t from = 0; from < text.size(); ++csv.line) {
    const std::size_t end = text.find('\n', from);
    const std::size_t to =
        end == std::string_view::npos ? text.size() : end + 1;
    const std::string_view line = text.substr(from, to - from);
    from = to;
    if (csv_parse(&parser, line.data(), line.size(), onField, onRowEnd, &csv) !=
        line.size()) {
      return name + " line " + std::to_string(csv.line) +
             ": bad quoting (a quote inside a field that is not quoted, or "
             "text after a closing quote)";
    }
  }
  if (csv.line > 1) --csv.line;
  if (csv_fini(&parser, onField, onRowEnd, &csv) != 0) {
    return name + " line " + std::to_string(csv.line) +
           ": bad quoting (a quoted field is not closed)";
  }
  return csv;
}

}  // namespace

std::variant<Increment, std::string> parseIncrement(std::string_view text) {
  const auto bad = [&] {
    return "--increment takes TRACK:STEP, a track 1 to 3 and a whole "
           "number (2:1, 1:-5), not \"" +
           std::string(text) + "\"";
  };
  if (text.size() < 3 || text[1] != ':' || text[0] < '1' || text[0] > '3')
    return bad();
  Increment increment;
  increment.track = text[0] - '0';
  std::string_view step = text.substr(2);
  if (step.starts_with('+')) step.remove_prefix(1);
  const auto [end, error] =
      std::from_chars(step.data(), step.data() + step.size(), increment.step);
  if (error != std::errc() || end != step.data() + step.size()) return bad();
  return increment;
}

std::variant<CardBatch, std::string> CardBatch::fromTexts(
    const std::array<std::optional<std::string>, 3>& texts,
    const std::vector<Increment>& increments, std::size_t count) {
  CardBatch batch;
  for (int track = 1; track <= 3; ++track) {
    const auto& text = texts[static_cast<std::size_t>(track - 1)];
    if (!text) continue;
    batch.selection_ |= 1 << (track - 1);
    batch.first_[static_cast<std::size_t>(track - 1)] = *text;
  }
  if (batch.selection_ == 0)
    return std::string(
        "nothing to write: give --track1, --track2, --track3 "
        "or --from");
  for (const Increment& increment : increments) {
    if (!protocol::selectionHasTrack(batch.selection_, increment.track)) {
      return "--increment names " + trackName(increment.track) +
             ", which has no text to count";
    }
  }
  for (const Increment& increment : increments) {
    const auto& text =
        batch.first_[static_cast<std::size_t>(increment.track - 1)];
    if (count > 1 && (text.empty() || text.back() < '0' || text.back() > '9')) {
      return trackName(increment.track) + " text \"" + escapedForDisplay(text) +
             "\" does not end in a digit: --increment has nothing to count";
    }
  }
  batch.increments_ = increments;
  batch.count_ = count;
  batch.current_ = batch.first_;
  return batch;
}

std::variant<CardBatch, std::string> CardBatch::fromCsv(
    const std::string& path) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  if (!in || !(content << in.rdbuf())) {
    std::string why = errno != 0 ? std::strerror(errno) : "read error";
    if (!why.empty()) why[0] = static_cast<char>(std::tolower(why[0]));
    return "cannot read " + path + ": " + why;
  }
  return fromCsvText(content.str(), path);
}

std::variant<CardBatch, std::string> CardBatch::fromCsvText(
    std::string_view text, const std::string& path) {
  // Spreadsheets save UTF-8 with a byte-order mark: it is no part of the
  // first column's name.
  if (text.starts_with(kUtf8ByteOrderMark))
    text.remove_prefix(kUtf8ByteOrderMark.size());
  auto parsed = parseCsvText(text, path);
  if (auto* message = std::get_if<std::string>(&parsed)) return *message;
  auto& csv = std::get<CsvRows>(parsed);
  if (csv.rows.empty()) return path + " is empty";

  const auto& header = csv.rows.front();
  const std::string headerLine =
      path + " line " + std::to_string(csv.rowLines.front());
  std::array<std::optional<std::size_t>, 3> columns;
  CardBatch batch;
  for (std::size_t i = 0; i < header.size(); ++i) {
    const int track = trackOfColumn(header[i]);
    if (track == 0) continue;  // another column: left alone
    auto& column = columns[static_cast<std::size_t>(track - 1)];
    if (column) {
      return headerLine + ": the header names " + trackName(track) +
             " twice (columns " + std::to_string(*column + 1) + " and " +
             std::to_string(i + 1) + ")";
    }
    column = i;
    batch.selection_ |= 1 << (track - 1);
  }
  if (batch.selection_ == 0)
    return headerLine + ": the header names no column track1, track2 or track3";
  for (std::size_t r = 1; r < csv.rows.size(); ++r) {
    const auto& row = csv.rows[r];
    const std::string where = path + " line " + std::to_string(csv.rowLines[r]);
    if (row.size() != header.size()) {
      return where + ": " + std::to_string(row.size()) +
             (row.size() == 1 ? " column" : " columns") +
             " where the header has " + std::to_string(header.size());
    }
    Tracks card;
    for (int track = 1; track <= 3; ++track) {
      const auto& column = columns[static_cast<std::size_t>(track - 1)];
      if (!column) continue;
      auto bytes = utf8ToLatin1(row[*column]);
      if (!bytes) {
        return where + ": " + trackName(track) +
               " holds a character that is not one byte (UTF-8 text of "
               "U+0000 to U+00FF only)";
      }
      card[static_cast<std::size_t>(track - 1)] = std::move(*bytes);
    }
    batch.rows_.push_back(std::move(card));
    batch.rowLines_.push_back(csv.rowLines[r]);
  }
  if (batch.rows_.empty()) return path + " has a header but no card";
  batch.count_ = batch.rows_.size();
  batch.path_ = path;
  return batch;
}

const Tracks& CardBatch::at(std::size_t index) {
  if (!rows_.empty()) return rows_.at(index);
  if (index < currentIndex_) {
    current_ = first_;
    currentIndex_ = 0;
  }
  for (; currentIndex_ < index; ++currentIndex_) {
    for (const Increment& increment : increments_) {
      auto& text = current_[static_cast<std::size_t>(increment.track - 1)];
      const auto outcome = protocol::incrementTrackData(text, increment.step);
      if (outcome == protocol::IncrementOutcome::NoDigits) {
        countingProblem_ = trackName(increment.track) + " text \"" +
                           escapedForDisplay(text) +
                           "\" does not end in a digit: nothing to count";
      } else if (outcome == protocol::IncrementOutcome::BelowZero) {
        countingProblem_ = "card " + std::to_string(currentIndex_ + 2) + ": " +
                           trackName(increment.track) +
                           " would count below zero";
      }
    }
  }
  return current_;
}

std::optional<std::string> CardBatch::check(
    const std::array<std::size_t, 3>& limits, const std::string& overNote) {
  for (std::size_t i = 0; i < count_; ++i) {
    const Tracks& card = at(i);
    if (countingProblem_) return countingProblem_;
    for (int track = 1; track <= 3; ++track) {
      if (!protocol::selectionHasTrack(selection_, track)) continue;
      const auto t = static_cast<std::size_t>(track - 1);
      const auto problem = trackTextProblem(track, card[t], limits[t]);
      if (!problem) continue;
      std::string where;
      if (!rowLines_.empty()) {
        where = path_ + " line " + std::to_string(rowLines_[i]) + " (card " +
                std::to_string(i + 1) + "): ";
      } else if (count_ > 1) {
        where = "card " + std::to_string(i + 1) + ": ";
      }
      const bool over = card[t].size() > limits[t] && limits[t] != 0;
      return where + trackName(track) + " text " + *problem +
             (over ? overNote : "");
    }
  }
  return std::nullopt;
}

bool CardBatch::upperCaseTrack1() {
  const auto upper = [](std::string& text) {
    bool changed = false;
    for (char& c : text) {
      if (c >= 'a' && c <= 'z') {
        c = static_cast<char>(c - 'a' + 'A');
        changed = true;
      }
    }
    return changed;
  };
  if (!protocol::selectionHasTrack(selection_, 1)) return false;
  // A counted batch counts digits only: its first card's text is enough.
  bool changed = upper(first_[0]);
  current_ = first_;
  currentIndex_ = 0;
  for (Tracks& row : rows_) changed = upper(row[0]) || changed;
  return changed;
}

}  // namespace quillon::batch
