// The track 2 density dialog: 75 or 210 bits per inch. Made anew for
// every use, so both choices start unselected whatever was sent before;
// the density itself lives only in the encoder.
#pragma once

#include <QDialog>

class CDensityDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kOkButton = 1;
  static constexpr int kCancelButton = 2;
  static constexpr int k75BpiRadio = 1002;
  static constexpr int k210BpiRadio = 1003;

  explicit CDensityDlg(QWidget* parent = nullptr);

  /// 1 after a click on "75BPI", 0 after one on "210BPI" (and before any).
  int m_nDensity = 0;

  /// A control by id (1, 2, 1002, 1003), or nullptr.
  [[nodiscard]] QWidget* GetDlgItem(int id) const;
};
