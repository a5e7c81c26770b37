#include "app/PanelPlacement.h"

#include <algorithm>

namespace mixelot {
namespace {

// `start` moved into [low, high - length]; to `low` when the length does not fit.
int inside(int start, int length, int low, int high) {
  return std::max(low, std::min(start, high - length));
}

}  // namespace

QPoint panelPosition(const QRect& anchor, const QSize& panel, const QRect& available) {
  const QPoint center = anchor.center();
  int x = center.x() - panel.width() / 2;
  int y = center.y() < available.center().y() ? anchor.bottom() + 1 + kPanelGap
                                              : anchor.top() - kPanelGap - panel.height();
  // QRect's right() and bottom() are one short of the edge.
  x = inside(x, panel.width(), available.left(), available.left() + available.width());
  y = inside(y, panel.height(), available.top(), available.top() + available.height());
  return {x, y};
}

}  // namespace mixelot
