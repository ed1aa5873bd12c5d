// The about box, dialog template 100: the program icon, its name and
// version, and an OK button. OK or Escape closes it.
#pragma once

#include <QDialog>

class CAboutBox : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutBox(QWidget* parent = nullptr);
};
