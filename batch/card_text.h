// Track texts are single bytes on the card. Outside the program they are
// text: each byte is the character U+0000..U+00FF of the same number
// (Latin-1), in UTF-8. These helpers convert and check them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon::batch {

/// The card bytes as UTF-8 text.
[[nodiscard]] std::string latin1ToUtf8(std::string_view bytes);

/// UTF-8 text as card bytes; empty when the text is not UTF-8 or holds a
/// character above U+00FF (it has no single byte).
[[nodiscard]] std::optional<std::string> utf8ToLatin1(std::string_view text);

/// The bytes with every byte that is not printable ASCII (and the
/// backslash) written as \xNN, for messages and the text format.
[[nodiscard]] std::string escapedForDisplay(std::string_view bytes);

/// A name from elsewhere (a station, a batch, a port) for a message or a
/// table: printable UTF-8 as it is; control characters (terminal escapes,
/// line ends), the backslash and bytes that are not UTF-8 as \xNN.
[[nodiscard]] std::string escapedName(std::string_view text);

/// Why `bytes` cannot be written to `track` (1..3), or empty when it can:
/// empty, longer than `limit` (0: the encoder's own limit), a zero byte,
/// or a byte that frames the track block ('?' anywhere, 'A' or 'B' on
/// tracks 2 and 3).
[[nodiscard]] std::optional<std::string> trackTextProblem(
    int track, std::string_view bytes, std::size_t limit = 0);

}  // namespace quillon::batch
