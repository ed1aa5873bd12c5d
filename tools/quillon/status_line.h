// The one line at the bottom of a terminal that progress rewrites in place
// (carriage return, erase to the end of the line) on stderr. Whatever else
// goes to that terminal (a message, a card's record) clears it first, so
// the line never runs into other text; the next update draws it again.
#pragma once

#include <string>

namespace quillon::cli::status_line {

/// Holds the terminal for one whole line of output: the line and every
/// message go out whole when several encoders' threads print at once.
class Guard {
 public:
  Guard();
  ~Guard();
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

/// Draws `text` in place of the line shown before (stderr is a terminal).
void show(const std::string& text);
/// Takes the line off the screen, if one is shown.
void clear();
/// Ends the line where it is, so it stays on the screen.
void keep();
/// Clears the line before output to `fd` when `fd` is the same terminal.
void clearBefore(int fd);
/// True when `fd` is the terminal that stderr is.
[[nodiscard]] bool sameTerminalAsStderr(int fd);

}  // namespace quillon::cli::status_line
