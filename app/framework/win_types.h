// The program's flags are 32-bit booleans, as its data files and the
// serial control expect them.
#pragma once

#include <cstdint>

using BOOL = std::int32_t;
#ifndef TRUE
inline constexpr BOOL TRUE = 1;
#endif
#ifndef FALSE
inline constexpr BOOL FALSE = 0;
#endif
