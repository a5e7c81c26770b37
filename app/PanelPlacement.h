#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace mixelot {

// Between the tray icon and the panel.
inline constexpr int kPanelGap = 4;

// Top-left corner for a panel of `panel` size opened from the tray icon at `anchor`: centred on
// the icon, below it when the icon is in the upper half of `available` (a top bar), above it
// otherwise (a bottom bar), and moved as little as needed to lie inside `available` — the screen
// without the desktop's bars. A panel larger than the area starts at its top-left corner.
QPoint panelPosition(const QRect& anchor, const QSize& panel, const QRect& available);

}  // namespace mixelot
