#include "app/PanelPlacement.h"

#include <QtTest>

using namespace mixelot;

class PanelPlacementTest : public QObject {
  Q_OBJECT

 private slots:
  void panelOpensAtTheIconInsideTheAvailableArea_data() {
    QTest::addColumn<QRect>("anchor");
    QTest::addColumn<QSize>("panel");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("expected");
    // Icon in a top bar at the right edge: below the icon, pushed left to stay on screen.
    QTest::newRow("top bar, right edge")
        << QRect(1250, 4, 22, 22) << QSize(320, 300) << QRect(0, 30, 1280, 770) << QPoint(960, 30);
    // Bottom bar: above the icon, resting on the bar (the gap would reach into it).
    QTest::newRow("bottom bar") << QRect(600, 770, 22, 22) << QSize(320, 300)
                                << QRect(0, 0, 1280, 760) << QPoint(450, 460);
    // A dock at the left: kept right of it.
    QTest::newRow("left dock") << QRect(10, 500, 22, 22) << QSize(320, 300)
                               << QRect(48, 0, 1232, 800) << QPoint(48, 196);
    // The pointer as the anchor, on a second screen right of the first.
    QTest::newRow("second screen")
        << QRect(3195, 2, 1, 1) << QSize(320, 300) << QRect(1920, 0, 1280, 800) << QPoint(2880, 7);
    // Taller than the area: starts at its top rather than above it.
    QTest::newRow("too tall") << QRect(600, 770, 22, 22) << QSize(320, 900)
                              << QRect(0, 0, 1280, 760) << QPoint(450, 0);
  }
  void panelOpensAtTheIconInsideTheAvailableArea() {
    QFETCH(QRect, anchor);
    QFETCH(QSize, panel);
    QFETCH(QRect, available);
    QFETCH(QPoint, expected);
    QCOMPARE(panelPosition(anchor, panel, available), expected);
  }
};

QTEST_GUILESS_MAIN(PanelPlacementTest)
#include "PanelPlacementTest.moc"
