// Dialog templates give positions and sizes in dialog units. They become
// pixels the way the Windows dialog manager converts them, from the average
// character width and the character height of the dialog's font, so every
// window keeps the proportions of its template.
#pragma once

#include <QFont>
#include <QRect>

/// Horizontal and vertical base units of a font, in pixels.
struct DialogBaseUnits {
  int cx = 0;  ///< average character width
  int cy = 0;  ///< character height
};

/// Average width of the 52 Latin letters (rounded) and the font's height.
[[nodiscard]] DialogBaseUnits dialogBaseUnits(const QFont& font);

/// value * numerator / denominator, rounded half away from zero, as the
/// dialog manager's integer arithmetic does.
[[nodiscard]] int mulDiv(int value, int numerator, int denominator);

/// A rectangle in dialog units (x, y, width, height) in pixels:
/// x * cx / 4 and y * cy / 8, each value converted on its own.
[[nodiscard]] QRect dluToPixels(const QFont& font, QRect dlu);
[[nodiscard]] QRect dluToPixels(DialogBaseUnits units, QRect dlu);

/// The font of the main dialog and the about box: a 9-point face that
/// covers Chinese.
[[nodiscard]] QFont mainDialogFont();

/// The font of the small settings dialogs: the classic 10-point system
/// font was a sans face.
[[nodiscard]] QFont systemDialogFont();
