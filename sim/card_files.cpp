#include "card_files.h"

#include <cstdio>
#include <fstream>

namespace sim {

namespace {

Card parseDeckLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  Card card;
  std::string* fields[] = {&card.track1, &card.track2, &card.track3};
  for (int i = 0; i < 3; ++i) {
    const std::size_t bar = i < 2 ? line.find('|') : std::string_view::npos;
    fields[i]->assign(line.substr(0, bar));
    if (bar == std::string_view::npos) break;
    line.remove_prefix(bar + 1);
  }
  return card;
}

}  // namespace

std::optional<std::vector<Card>> readDeckFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<Card> cards;
  std::string line;
  while (std::getline(in, line)) cards.push_back(parseDeckLine(line));
  if (in.bad()) return std::nullopt;
  return cards;
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte >= 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string writtenCardJson(const WrittenCard& written) {
  std::string line = "{\"selection\":" + std::to_string(written.selection);
  line += ",\"track1\":" + jsonString(written.card.track1);
  line += ",\"track2\":" + jsonString(written.card.track2);
  line += ",\"track3\":" + jsonString(written.card.track3);
  line += ",\"coercivity\":";
  line += written.highCoercivity ? "\"high\"" : "\"low\"";
  line += ",\"density\":" + std::to_string(written.track2Density);
  line += ",\"status\":";
  line += written.succeeded ? "\"p\"" : "\"q\"";
  line += '}';
  return line;
}

bool appendWrittenCard(const std::string& path, const WrittenCard& written) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (!out) return false;
  out << writtenCardJson(written) << '\n';
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace sim
