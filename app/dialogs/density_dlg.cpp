#include "density_dlg.h"

#include <QRadioButton>
#include <array>

#include "dialog_builder.h"
#include "dialog_units.h"

namespace {

using K = ControlKind;

const std::array<ControlTemplate, 5> kControls{{
    {kNoControlId,
     K::CaptionedGroupBox,
     "Second track density settings",
     {14, 10, 159, 44}},
    {CDensityDlg::k75BpiRadio,
     K::TabStopRadioButton,
     "75BPI",
     {30, 28, 50, 10}},
    {CDensityDlg::k210BpiRadio,
     K::TabStopRadioButton,
     "210BPI",
     {105, 28, 50, 10}},
    {CDensityDlg::kOkButton, K::DefaultButton, "OK", {26, 68, 50, 14}},
    {CDensityDlg::kCancelButton,
     K::AutoDefaultButton,
     "CANCEL",
     {110, 68, 50, 14}},
}};

const DialogTemplate kDialog{
    "Dialog", kModalDialogFrame, {187, 94}, systemDialogFont, kControls};

}  // namespace

CDensityDlg::CDensityDlg(QWidget* parent) : QDialog(parent) {
  buildDialog(this, kDialog);
  connect(qobject_cast<QRadioButton*>(GetDlgItem(k75BpiRadio)),
          &QRadioButton::clicked, this, [this] { m_nDensity = 1; });
  connect(qobject_cast<QRadioButton*>(GetDlgItem(k210BpiRadio)),
          &QRadioButton::clicked, this, [this] { m_nDensity = 0; });
}

QWidget* CDensityDlg::GetDlgItem(int id) const { return findControl(this, id); }
