#include "about_box.h"

#include <QLabel>
#include <QPushButton>

#include "dialog_builder.h"
#include "dialog_units.h"
#include "program_icon.h"

namespace {

constexpr QSize kAboutSizeDlu{235, 55};
constexpr int kIdOk = 1;

QLabel* plainLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);  // no access-key processing
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

}  // namespace

CAboutBox::CAboutBox(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QStringLiteral("关于 Velmora"));
  setFont(mainDialogFont());
  const DialogBaseUnits units = dialogBaseUnits(font());
  setFixedSize(dluToPixels(units, QRect(QPoint(0, 0), kAboutSizeDlu)).size());

  auto* icon = new QLabel(this);
  const QPixmap image = programIcon().pixmap(32, 32);
  icon->setPixmap(image);
  icon->setGeometry(
      QRect(dluToPixels(units, {11, 17, 0, 0}).topLeft(), image.size()));

  plainLabel(QStringLiteral("Velmora 1.0 版"), this)
      ->setGeometry(dluToPixels(units, {40, 10, 119, 8}));
  plainLabel(QStringLiteral("Magnetic card encoding"), this)
      ->setGeometry(dluToPixels(units, {40, 25, 119, 8}));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  setControlId(ok, kIdOk);
  ok->setDefault(true);
  ok->setGeometry(dluToPixels(units, {178, 7, 50, 14}));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
