#include "group_frame.h"

#include <qdrawutil.h>

#include <QPainter>

void GroupFrame::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  const QFontMetrics metrics(font());
  // An etched line: dark with a light line inside it.
  qDrawShadeRect(&painter, rect().adjusted(0, metrics.height() / 2, 0, 0),
                 palette(), /*sunken=*/true, /*lineWidth=*/1);
  if (title().isEmpty()) return;
  // The caption is drawn opaque, so it cuts the frame's top line.
  const int indent = metrics.averageCharWidth();
  const QRect caption(indent, 0, metrics.horizontalAdvance(title()),
                      metrics.height());
  painter.fillRect(caption, palette().window());
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(caption,
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic,
                   title());
}
