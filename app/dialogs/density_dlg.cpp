#include "density_dlg.h"

#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>

#include "dialog_builder.h"
#include "dialog_units.h"

namespace {
constexpr QSize kDialogSize(187, 94);  // dialog units
}  // namespace

CDensityDlg::CDensityDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Dialog"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFont(systemDialogFont());
  const DialogBaseUnits units = dialogBaseUnits(font());
  setFixedSize(dluToPixels(units, QRect(QPoint(0, 0), kDialogSize)).size());

  auto* group =
      new QGroupBox(QStringLiteral("Second track density settings"), this);
  group->setGeometry(dluToPixels(units, {14, 10, 159, 44}));

  auto* bpi75 = new QRadioButton(QStringLiteral("75BPI"), this);
  setControlId(bpi75, k75BpiRadio);
  bpi75->setGeometry(dluToPixels(units, {30, 28, 50, 10}));
  connect(bpi75, &QRadioButton::clicked, this, [this] { m_nDensity = 1; });

  auto* bpi210 = new QRadioButton(QStringLiteral("210BPI"), this);
  setControlId(bpi210, k210BpiRadio);
  bpi210->setGeometry(dluToPixels(units, {105, 28, 50, 10}));
  connect(bpi210, &QRadioButton::clicked, this, [this] { m_nDensity = 0; });

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  setControlId(ok, kOkButton);
  ok->setGeometry(dluToPixels(units, {26, 68, 50, 14}));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* cancel = new QPushButton(QStringLiteral("CANCEL"), this);
  setControlId(cancel, kCancelButton);
  cancel->setGeometry(dluToPixels(units, {110, 68, 50, 14}));
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QWidget* CDensityDlg::GetDlgItem(int id) const { return findControl(this, id); }
