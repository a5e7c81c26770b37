#include "ui/QtMainQueue.h"

#include <QtTest>
#include <thread>

using namespace mixelot;

class QtMainQueueTest : public QObject {
  Q_OBJECT

 private slots:
  void postsFromAnotherThreadRunOnTheOwningThread() {
    QtMainQueue queue;
    std::thread::id ranOn;
    std::thread other([&] { queue.post([&] { ranOn = std::this_thread::get_id(); }); });
    other.join();
    QTRY_VERIFY(ranOn == std::this_thread::get_id());
  }

  void cancelledTimersStopAndRunForKeepsTheLoopGoing() {
    QtMainQueue queue;
    int ticks = 0, once = 0;
    Timer tick = queue.schedule(Seconds(0.01), true, [&] { ++ticks; });
    Timer single = queue.schedule(Seconds(0.01), false, [&] { ++once; });
    queue.runFor(Seconds(0.1));
    QVERIFY(ticks >= 3);
    QCOMPARE(once, 1);
    tick.cancel();
    QVERIFY(!tick.isActive());
    int before = ticks;
    queue.runFor(Seconds(0.05));
    QCOMPARE(ticks, before);
  }
};

QTEST_GUILESS_MAIN(QtMainQueueTest)
#include "QtMainQueueTest.moc"
