#include "about_box.h"

#include <QLabel>
#include <array>
#include <stdexcept>

#include "dialog_builder.h"
#include "dialog_units.h"
#include "program_icon.h"

namespace {

using K = ControlKind;

// The icon's size is its own; the template gives only its place.
const std::array<ControlTemplate, 4> kControls{{
    {kNoControlId, K::Icon, "", {11, 17, 0, 0}},
    {kNoControlId, K::StaticLeft, "Velmora 1.0 版", {40, 10, 119, 8}},
    {kNoControlId, K::StaticLeft, "Magnetic card encoding", {40, 25, 119, 8}},
    {kIdOk, K::DefaultButton, "OK", {178, 7, 50, 14}},
}};

const DialogTemplate kDialog{"关于 Velmora",
                             kModalDialogFrame | Qt::CustomizeWindowHint,
                             {235, 55},
                             mainDialogFont,
                             kControls};

constexpr int kIconSize = 32;

QWidget* makeIcon(const ControlTemplate& entry, QWidget* parent) {
  if (entry.kind != ControlKind::Icon) {
    throw std::logic_error("the about box has no such control");
  }
  auto* icon = new QLabel(parent);
  icon->setPixmap(programIcon().pixmap(kIconSize, kIconSize));
  return icon;
}

}  // namespace

CAboutBox::CAboutBox(QWidget* parent) : QDialog(parent) {
  buildDialog(this, kDialog, makeIcon);
}
