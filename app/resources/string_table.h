// The program's string resources, looked up by id, and the tooltip text
// that a toolbar button shows.
#pragma once

#include <QString>

/// The string with this id, or an empty text when there is none. Like a
/// resource load into a 256-character buffer, a longer string is cut to
/// 255 characters.
[[nodiscard]] QString loadResourceString(int id);

/// Sub-string `index` of `text` split at line breaks ('\n'): the text
/// between the index-th and the next line break, or to the end. Empty when
/// there are fewer line breaks.
[[nodiscard]] QString extractSubString(const QString& text, int index);

/// The tooltip of a control or toolbar button with this id: the text after
/// the first line break of its string (the part before it is a status-bar
/// prompt), cut to fit a field of 80 characters with its terminator. An id
/// of 0 (a separator) has none.
[[nodiscard]] QString toolTipText(int id);
