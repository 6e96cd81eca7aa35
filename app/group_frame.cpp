#include "app/group_frame.h"

#include <qdrawutil.h>

#include <QPainter>
#include <QStyle>

namespace px::app {

void GroupFrame::paintEvent(QPaintEvent*) {
  constexpr int kTitleLeft = 8;
  constexpr int kTitlePadding = 2;
  QPainter painter(this);
  const QFontMetrics metrics = fontMetrics();
  qDrawShadeRect(&painter, rect().adjusted(0, metrics.height() / 2, 0, 0), palette(), true, 1);
  if (title().isEmpty()) return;
  const QRect titleRect(kTitleLeft, 0, metrics.horizontalAdvance(title()) + 2 * kTitlePadding,
                        metrics.height());
  painter.fillRect(titleRect, palette().brush(backgroundRole()));
  style()->drawItemText(&painter, titleRect, Qt::AlignCenter, palette(), isEnabled(), title(),
                        foregroundRole());
}

}  // namespace px::app
