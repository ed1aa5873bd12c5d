// The serial port settings dialog: port name, baud rate, parity, data bits
// and stop bits, each an editable combo box. Made anew for every use, so it
// always opens with the initial values.
#pragma once

#include <QDialog>
#include <QString>

class QComboBox;
class QShowEvent;

class CPortSettingDlg : public QDialog {
  Q_OBJECT

 public:
  // Controls of the dialog.
  static constexpr int kOkButton = 1;
  static constexpr int kCancelButton = 2;
  static constexpr int kPortNameCombo = 1009;
  static constexpr int kBaudRateCombo = 1010;
  static constexpr int kParityCombo = 1011;
  static constexpr int kDataBitsCombo = 1012;
  static constexpr int kStopBitsCombo = 1013;

  explicit CPortSettingDlg(QWidget* parent = nullptr);

  // Shown in the combo boxes when the dialog opens; set from their texts,
  // in this order, when it ends with OK.
  QString m_strPortName = QStringLiteral("COM1");
  QString m_strBaudRate = QStringLiteral("9600");
  QString m_strParity = QStringLiteral("NONE");
  QString m_strDataBits = QStringLiteral("8");
  QString m_strStopBits = QStringLiteral("1");

  /// The combo box with that id (1009..1013), or nullptr.
  [[nodiscard]] QComboBox* comboBox(int id) const;
  /// Any control with an id (1, 2, 1009..1013), or nullptr.
  [[nodiscard]] QWidget* GetDlgItem(int id) const;

  /// OK: the members take the combo box texts, then the dialog ends.
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void showMembers();
};
