// Icon resource 128: the program icon in 32 x 32 and 16 x 16.
#pragma once

#include <QIcon>

[[nodiscard]] QIcon programIcon();
