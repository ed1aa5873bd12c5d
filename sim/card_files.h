// The files the simulated encoder reads and writes: the deck of cards to
// swipe and the record of written cards.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "simulated_encoder.h"

namespace sim {

/// One card per line, "track1|track2|track3"; missing fields are empty and
/// a third '|' belongs to track 3. A CR before the line end is dropped. An
/// empty line is a blank card. Nullopt when the file cannot be read.
[[nodiscard]] std::optional<std::vector<Card>> readDeckFile(
    const std::string& path);

/// A JSON string literal of single-byte text: bytes from 0x80 up are the
/// Latin-1 characters \u0080..\u00ff, control bytes are escaped.
[[nodiscard]] std::string jsonString(std::string_view text);

/// One line (without its newline) describing a written card:
/// {"selection":7,"track1":"..","track2":"..","track3":"..",
///  "coercivity":"high","density":210,"status":"p"}
[[nodiscard]] std::string writtenCardJson(const WrittenCard& written);

/// Appends the card's line to the file. False when it cannot be written.
bool appendWrittenCard(const std::string& path, const WrittenCard& written);

}  // namespace sim
