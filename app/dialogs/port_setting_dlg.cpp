#include "port_setting_dlg.h"

#include <QComboBox>
#include <QSerialPortInfo>
#include <QShowEvent>
#include <QStringList>
#include <array>

#include "dialog_builder.h"
#include "dialog_units.h"

namespace {

using K = ControlKind;
constexpr int kPortNames = 20;  // COM1 ... COM20

// A combo box's height is that of its dropped-down list.
const std::array<ControlTemplate, 12> kControls{{
    {CPortSettingDlg::kOkButton, K::DefaultButton, "OK", {26, 125, 50, 14}},
    {CPortSettingDlg::kCancelButton,
     K::AutoDefaultButton,
     "CANCEL",
     {110, 125, 50, 14}},
    {kNoControlId, K::Label, "Serial Port:", {16, 23, 42, 8}},
    {kNoControlId, K::Label, "Baud rate:", {15, 41, 35, 8}},
    {kNoControlId, K::Label, "Parity:", {15, 61, 22, 8}},
    {kNoControlId, K::Label, "Data bit", {15, 80, 26, 8}},
    {kNoControlId, K::Label, "Stop bit:", {15, 98, 28, 8}},
    {CPortSettingDlg::kPortNameCombo, K::DropDownCombo, "", {64, 22, 48, 74}},
    {CPortSettingDlg::kBaudRateCombo,
     K::SortedDropDownCombo,
     "",
     {64, 40, 48, 30}},
    {CPortSettingDlg::kParityCombo,
     K::SortedDropDownCombo,
     "",
     {64, 59, 48, 30}},
    {CPortSettingDlg::kDataBitsCombo,
     K::SortedDropDownCombo,
     "",
     {64, 79, 48, 30}},
    {CPortSettingDlg::kStopBitsCombo,
     K::SortedDropDownCombo,
     "",
     {64, 97, 48, 30}},
}};

const DialogTemplate kDialog{
    "Dialog", kModalDialogFrame, {187, 146}, systemDialogFont, kControls};

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

// The first item that begins with the value (ignoring case) is selected;
// without one the value becomes the text.
void showValue(QComboBox* combo, const QString& value,
               Qt::MatchFlags match = Qt::MatchStartsWith) {
  const int index = combo->findText(value, match);
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
  buildDialog(this, kDialog);
  for (const int id : {kPortNameCombo, kBaudRateCombo, kParityCombo,
                       kDataBitsCombo, kStopBitsCombo}) {
    addComboItems(comboBox(id), initialItems(id));
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
  // A port is the one named or none: a saved /dev/ttyUSB1 that is gone
  // must not pick /dev/ttyUSB10. COMn names ignore case; paths do not.
  const bool path = m_strPortName.startsWith(u'/');
  showValue(comboBox(kPortNameCombo), m_strPortName,
            path ? Qt::MatchFixedString | Qt::MatchCaseSensitive
                 : Qt::MatchFixedString);
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
