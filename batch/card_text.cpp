#include "card_text.h"

#include <cstdio>

#include "encoder_protocol.h"

namespace quillon::batch {

std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return out;
}

std::optional<std::string> utf8ToLatin1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out.push_back(text[i]);
      continue;
    }
    // Only C2 and C3 lead the two-byte forms of U+0080..U+00FF.
    if ((lead != 0xC2 && lead != 0xC3) || i + 1 == text.size()) return {};
    const auto next = static_cast<unsigned char>(text[++i]);
    if ((next & 0xC0) != 0x80) return {};
    out.push_back(static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F)));
  }
  return out;
}

std::string escapedForDisplay(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '\\') {
      out.push_back(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    }
  }
  return out;
}

namespace {

// The length of the UTF-8 sequence of one printable character at the
// start of `text` (U+00A0 and above, shortest form, no surrogate), or 0.
std::size_t printableSequence(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if (lead < 0xC2 || lead > 0xF4 || text.size() < length) return 0;
  char32_t point = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return 0;
    point = (point << 6) | (next & 0x3F);
  }
  const char32_t least[] = {0, 0, 0xA0, 0x800, 0x10000};
  if (point < least[length] || point > 0x10FFFF ||
      (point >= 0xD800 && point <= 0xDFFF))
    return 0;
  return length;
}

}  // namespace

std::string escapedName(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      out.push_back(text[i++]);
    } else if (const std::size_t n =
                   byte >= 0x80 ? printableSequence(text.substr(i)) : 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out += escapedForDisplay(text.substr(i, 1));
      ++i;
    }
  }
  return out;
}

std::optional<std::string> trackTextProblem(int track, std::string_view bytes,
                                            std::size_t limit) {
  const std::size_t limits[] = {protocol::kWriteLimitTrack1,
                                protocol::kWriteLimitTrack2,
                                protocol::kWriteLimitTrack3};
  if (limit == 0) limit = limits[track - 1];
  if (bytes.empty()) return "is empty";
  if (bytes.size() > limit) {
    return "has " + std::to_string(bytes.size()) + " characters, more than " +
           std::to_string(limit);
  }
  for (const char c : bytes) {
    if (c == '\0') return "holds a zero byte";
    if (c == '?') return "holds '?', which ends the track data";
    if (track != 1 && (c == 'A' || c == 'B')) {
      return std::string("holds '") + c +
             "', which separates tracks (only track 1 may hold A and B)";
    }
  }
  return std::nullopt;
}

}  // namespace quillon::batch
