#include "port_setting_dlg.h"

#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QShowEvent>
#include <QStringList>
#include <algorithm>

#include "dialog_units.h"

namespace {

// The dialog's client area, in dialog units.
constexpr QSize kDialogSize(187, 146);
constexpr int kPortNames = 20;  // COM1 ... COM20

struct StaticText {
  const char* text;
  QRect dlu;
};

// The labels of the combo boxes, in template order.
constexpr StaticText kLabels[] = {
    {"Serial Port:", {16, 23, 42, 8}}, {"Baud rate:", {15, 41, 35, 8}},
    {"Parity:", {15, 61, 22, 8}},      {"Data bit", {15, 80, 26, 8}},
    {"Stop bit:", {15, 98, 28, 8}},
};

struct ComboDef {
  int id;
  QRect dlu;  // the height is that of the dropped-down list
  bool sorted;
};

constexpr ComboDef kCombos[] = {
    {CPortSettingDlg::kPortNameCombo, {64, 22, 48, 74}, false},
    {CPortSettingDlg::kBaudRateCombo, {64, 40, 48, 30}, true},
    {CPortSettingDlg::kParityCombo, {64, 59, 48, 30}, true},
    {CPortSettingDlg::kDataBitsCombo, {64, 79, 48, 30}, true},
    {CPortSettingDlg::kStopBitsCombo, {64, 97, 48, 30}, true},
};

QStringList portNameItems() {
  QStringList items;
  for (int n = 1; n <= kPortNames; ++n) items << QStringLiteral("COM%1").arg(n);
  // Serial devices found on this machine follow, by their paths.
  QStringList devices;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    devices << info.systemLocation();
  }
  devices.sort();
  devices.removeDuplicates();
  return items + devices;
}

QStringList initialItems(int id) {
  switch (id) {
    case CPortSettingDlg::kPortNameCombo: return portNameItems();
    case CPortSettingDlg::kBaudRateCombo: return {QStringLiteral("9600")};
    case CPortSettingDlg::kParityCombo: return {QStringLiteral("NONE")};
    case CPortSettingDlg::kDataBitsCombo: return {QStringLiteral("8")};
    case CPortSettingDlg::kStopBitsCombo: return {QStringLiteral("1")};
    default: return {};
  }
}

void setControlId(QWidget* control, int id) {
  control->setObjectName(QString::number(id));
  control->setProperty("ctrlId", id);
}

// The first item that begins with the value (ignoring case) is selected;
// without one the value becomes the text.
void showValue(QComboBox* combo, const QString& value) {
  const int index = combo->findText(value, Qt::MatchStartsWith);
  if (index >= 0) {
    combo->setCurrentIndex(index);
    combo->setEditText(combo->itemText(index));
  } else {
    combo->setCurrentIndex(-1);
    combo->setEditText(value);
  }
}

}  // namespace

CPortSettingDlg::CPortSettingDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Dialog"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFont(systemDialogFont());
  buildControls();
}

void CPortSettingDlg::buildControls() {
  const DialogBaseUnits units = dialogBaseUnits(font());
  setFixedSize(dluToPixels(units, QRect(QPoint(0, 0), kDialogSize)).size());

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  setControlId(ok, kOkButton);
  ok->setGeometry(dluToPixels(units, {26, 125, 50, 14}));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* cancel = new QPushButton(QStringLiteral("CANCEL"), this);
  setControlId(cancel, kCancelButton);
  cancel->setGeometry(dluToPixels(units, {110, 125, 50, 14}));
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  for (const StaticText& label : kLabels) {
    auto* text = new QLabel(QString::fromLatin1(label.text), this);
    text->setGeometry(dluToPixels(units, label.dlu));
  }

  QWidget* previous = cancel;
  QWidget::setTabOrder(ok, cancel);
  for (const ComboDef& def : kCombos) {
    auto* combo = new QComboBox(this);
    setControlId(combo, def.id);
    combo->setEditable(true);
    // Typed text stays text: Enter must not add it to the list.
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->addItems(initialItems(def.id));
    if (def.sorted) combo->model()->sort(0);
    const QRect area = dluToPixels(units, def.dlu);
    const int closedHeight = combo->sizeHint().height();
    combo->setGeometry(area.x(), area.y(), area.width(), closedHeight);
    const int itemHeight = std::max(1, combo->fontMetrics().height());
    combo->setMaxVisibleItems(
        std::max(1, (area.height() - closedHeight) / itemHeight));
    QWidget::setTabOrder(previous, combo);
    previous = combo;
  }
}

QComboBox* CPortSettingDlg::comboBox(int id) const {
  return qobject_cast<QComboBox*>(GetDlgItem(id));
}

QWidget* CPortSettingDlg::GetDlgItem(int id) const {
  return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

void CPortSettingDlg::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) showMembers();
  QDialog::showEvent(event);
}

void CPortSettingDlg::showMembers() {
  showValue(comboBox(kPortNameCombo), m_strPortName);
  showValue(comboBox(kBaudRateCombo), m_strBaudRate);
  showValue(comboBox(kParityCombo), m_strParity);
  showValue(comboBox(kDataBitsCombo), m_strDataBits);
  showValue(comboBox(kStopBitsCombo), m_strStopBits);
  if (QWidget* ok = GetDlgItem(kOkButton)) ok->setFocus();
}

void CPortSettingDlg::accept() {
  m_strPortName = comboBox(kPortNameCombo)->currentText();
  m_strBaudRate = comboBox(kBaudRateCombo)->currentText();
  m_strParity = comboBox(kParityCombo)->currentText();
  m_strDataBits = comboBox(kDataBitsCombo)->currentText();
  m_strStopBits = comboBox(kStopBitsCombo)->currentText();
  QDialog::accept();
}
