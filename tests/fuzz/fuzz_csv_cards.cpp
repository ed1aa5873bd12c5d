// The command-line program's CSV input, against a plain RFC 4180 model
// (fields as they stand, spaces included; blank lines skipped; header names
// matched without case or surrounding spaces, a leading BOM dropped), and the
// program's own CSV output read back as the cards it holds.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "card_batch.h"
#include "card_records.h"
#include "fuzz_check.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

// Nothing when the quoting is bad.
std::optional<Rows> csvModel(std::string_view text) {
  Rows rows;
  std::vector<std::string> row;
  bool rowOpen = false;  // a field of this row has begun
  std::size_t i = 0;
  const auto endField = [&](std::string field) {
    row.push_back(std::move(field));
  };
  const auto endRow = [&] {
    rows.push_back(std::move(row));
    row.clear();
    rowOpen = false;
  };
  while (i < text.size()) {
    if (isLineEnd(text[i])) {  // a field starts here: none, or an empty one
      if (rowOpen) {
        endField("");
        endRow();
      }
      ++i;
      continue;
    }
    rowOpen = true;
    std::string field;
    if (text[i] == '"') {
      for (++i;; ++i) {
        if (i == text.size()) return {};
        if (text[i] != '"') {
          field += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          ++i;
          break;
        }
      }
      if (i < text.size() && text[i] != ',' && !isLineEnd(text[i])) return {};
    } else {
      for (; i < text.size() && text[i] != ',' && !isLineEnd(text[i]); ++i) {
        if (text[i] == '"') return {};
        field += text[i];
      }
    }
    endField(std::move(field));
    if (i < text.size() && text[i] == ',') {
      ++i;
      if (i == text.size()) endField("");
    } else {
      endRow();
    }
  }
  if (rowOpen) endRow();
  return rows;
}

// UTF-8 text of U+0000 to U+00FF as Latin-1 bytes.
std::optional<std::string> latin1Model(const std::string& utf8) {
  std::string bytes;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      bytes += static_cast<char>(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size() &&
               (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) {
      bytes += static_cast<char>(
          ((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    } else {
      return {};
    }
  }
  return bytes;
}

// A header name as matched: spaces and tabs around it dropped, capitals
// as small letters.
std::string headerNameModel(const std::string& field) {
  std::string name;
  for (const char c : field)
    name += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
    name.pop_back();
  const std::size_t first = name.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : name.substr(first);
}

// The cards the model sees in the text, or nothing where the program must
// refuse it.
std::optional<std::vector<quillon::batch::Tracks>> cardsModel(
    std::string_view text, int& selection) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // the BOM
  const auto rows = csvModel(text);
  if (!rows || rows->size() < 2) return {};
  const auto& header = rows->front();
  std::optional<std::size_t> columns[3];
  selection = 0;
  for (std::size_t i = 0; i < header.size(); ++i) {
    const std::string name = headerNameModel(header[i]);
    for (int track = 0; track < 3; ++track) {
      if (name != "track" + std::to_string(track + 1)) continue;
      if (columns[track]) return {};  // a track named twice
      columns[track] = i;
      selection |= 1 << track;
    }
  }
  if (selection == 0) return {};
  std::vector<quillon::batch::Tracks> cards;
  for (std::size_t r = 1; r < rows->size(); ++r) {
    if ((*rows)[r].size() != header.size()) return {};
    quillon::batch::Tracks card;
    for (int track = 0; track < 3; ++track) {
      if (!columns[track]) continue;
      auto bytes = latin1Model((*rows)[r][*columns[track]]);
      if (!bytes) return {};
      card[static_cast<std::size_t>(track)] = std::move(*bytes);
    }
    cards.push_back(std::move(card));
  }
  return cards;
}

// The input as cards of three Latin-1 track texts, cut at 0xFF bytes.
std::vector<quillon::batch::Tracks> cardsFrom(std::string_view data) {
  std::vector<quillon::batch::Tracks> cards(1);
  std::size_t track = 0;
  for (const char c : data) {
    if (static_cast<unsigned char>(c) != 0xFF) {
      cards.back()[track] += c;
    } else if (++track == 3) {
      track = 0;
      cards.emplace_back();
    }
  }
  return cards;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using quillon::batch::CardBatch;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  int selection = 0;
  const auto expected = cardsModel(text, selection);
  auto parsed = CardBatch::fromCsvText(text, "in.csv");
  auto* batch = std::get_if<CardBatch>(&parsed);
  FUZZ_CHECK((batch != nullptr) == expected.has_value());
  if (batch) {
    FUZZ_CHECK(batch->selection() == selection);
    FUZZ_CHECK(batch->size() == expected->size());
    for (std::size_t i = 0; i < expected->size(); ++i) {
      for (std::size_t t = 0; t < 3; ++t) {
        if (selection & (1 << t)) {
          FUZZ_CHECK(batch->at(i)[t] == (*expected)[i][t]);
        }
      }
    }
  } else {
    FUZZ_CHECK(std::get<std::string>(parsed).starts_with("in.csv "));
  }

  // What the program writes, it reads back card for card.
  const auto cards = cardsFrom(text);
  std::string written = quillon::batch::csvHeader(7);
  quillon::batch::CardRecord record;
  for (const auto& card : cards) {
    ++record.sequence;
    record.tracks = card;
    written += quillon::batch::csvRow(record);
  }
  auto reread = CardBatch::fromCsvText(written, "out.csv");
  auto* back = std::get_if<CardBatch>(&reread);
  FUZZ_CHECK(back != nullptr && back->size() == cards.size());
  for (std::size_t i = 0; i < cards.size(); ++i)
    FUZZ_CHECK(back->at(i) == cards[i]);
  return 0;
}
