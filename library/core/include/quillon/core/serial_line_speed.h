// Line speeds. Standard rates go through termios; any other rate needs
// termios2 with BOTHER, whose kernel header cannot share a file with
// <termios.h>, hence a file of its own.
#pragma once

#include <termios.h>

#include <cstdint>

namespace quillon {

/// The Bxxx constant of a standard rate, or B0 when there is none.
speed_t standardSpeed(std::uint32_t baudRate);

/// Sets an arbitrary input and output rate on the open terminal `fd`.
bool setCustomSpeed(int fd, std::uint32_t baudRate);

/// The output rate the terminal reports in bits per second (0 on error).
std::uint32_t currentSpeed(int fd);

}  // namespace quillon
