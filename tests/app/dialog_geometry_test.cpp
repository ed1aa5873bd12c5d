// Dialog units to pixels: the dialog manager's rounding.
#include <QtTest>

#include "dialog_units.h"

class DialogGeometryTest : public QObject {
  Q_OBJECT

 private slots:
  void mulDivRoundsHalfAwayFromZero() {
    QCOMPARE(mulDiv(5, 3, 2), 8);    // 7.5
    QCOMPARE(mulDiv(-5, 3, 2), -8);  // -7.5
    QCOMPARE(mulDiv(7, 1, 4), 2);    // 1.75
    QCOMPARE(mulDiv(5, 1, 4), 1);    // 1.25
    QCOMPARE(mulDiv(6, 1, 4), 2);    // 1.5
    QCOMPARE(mulDiv(3, 5, -2), -8);  // -7.5
    // No overflow in the product.
    QCOMPARE(mulDiv(2000000000, 3, 4), 1500000000);
  }

  void rectanglesConvertEachValueOnItsOwn() {
    const DialogBaseUnits units{7, 15};
    QCOMPARE(dluToPixels(units, QRect(12, 9, 319, 89)),
             QRect(21, 17, 558, 167));
    // The width is converted by itself, not as right edge minus left.
    QCOMPARE(dluToPixels(units, QRect(1, 1, 1, 1)), QRect(2, 2, 2, 2));
    QCOMPARE(dluToPixels(units, QRect(0, 0, 386, 308)).size(), QSize(676, 578));
  }
};

QTEST_MAIN(DialogGeometryTest)
#include "dialog_geometry_test.moc"
