// Dialog template 102, the main dialog. Its menu bar sits above the
// controls, so the window is built around this table rather than from a
// whole dialog template.
#pragma once

#include <QSize>
#include <span>

#include "dialog_template.h"

inline constexpr QSize kMainDialogSizeDlu{386, 308};

[[nodiscard]] std::span<const ControlTemplate> mainDialogTemplate();
