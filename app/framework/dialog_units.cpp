#include "dialog_units.h"

#include <QFontMetrics>
#include <cstdlib>

DialogBaseUnits dialogBaseUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  // Half of (twice the average + 1) rounds the average to the nearest pixel.
  return {(letters / 26 + 1) / 2, metrics.height()};
}

int mulDiv(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = std::llabs(static_cast<long long>(denominator)) / 2;
  const bool negative = (product < 0) != (denominator < 0);
  const long long magnitude = (std::llabs(product) + half) /
                              std::llabs(static_cast<long long>(denominator));
  return static_cast<int>(negative ? -magnitude : magnitude);
}

QRect dluToPixels(DialogBaseUnits units, QRect dlu) {
  return {mulDiv(dlu.x(), units.cx, 4), mulDiv(dlu.y(), units.cy, 8),
          mulDiv(dlu.width(), units.cx, 4), mulDiv(dlu.height(), units.cy, 8)};
}

QRect dluToPixels(const QFont& font, QRect dlu) {
  return dluToPixels(dialogBaseUnits(font), dlu);
}

QFont mainDialogFont() {
  QFont font(QStringLiteral("WenQuanYi Micro Hei"), 9);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

QFont systemDialogFont() {
  QFont font(QStringLiteral("Sans Serif"), 10);
  font.setStyleHint(QFont::SansSerif);
  return font;
}
