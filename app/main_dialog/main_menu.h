// Menu 129 of the main dialog and toolbar 102.
#pragma once

#include <QPixmap>
#include <QSize>
#include <array>
#include <functional>

#include "resource_ids.h"

class QMenuBar;
class QToolBar;
class QWidget;

using CommandSink = std::function<void(int commandId)>;

/// The menu bar: "File", "Operation" and "Options" with their items and
/// separators. Each item sends its command id to `sink`.
QMenuBar* createMainMenu(QWidget* parent, const CommandSink& sink);

/// The toolbar's buttons, left to right, by command id.
inline constexpr std::array<int, 6> kToolBarCommands{
    ids::kToolTogglePort, ids::kToolReset,     ids::kToolReadCard,
    ids::kToolWriteCard,  ids::kToolEraseCard, ids::kToolSaveLog};
inline constexpr QSize kToolBarImageSize{21, 18};

/// The toolbar's images, one 126 x 18 strip of six 21 x 18 images.
[[nodiscard]] QPixmap toolBarStrip();

/// The toolbar with its six buttons, their images and tooltips. Its
/// buttons take no focus; each click sends the button's command id.
QToolBar* createMainToolBar(QWidget* parent, const CommandSink& sink);
