#include "ui/QtMainQueue.h"

#include <QEventLoop>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

namespace mixelot {
namespace {

// Owns the QObject behind a timer or a watch; cancelling deletes it, which stops it at once.
class QtHandle final : public Timer::State {
 public:
  explicit QtHandle(QObject* object) : object_(object) {}
  ~QtHandle() override { cancel(); }
  void cancel() override {
    if (object_) delete object_.data();
  }
  bool isActive() const override {
    if (auto* timer = qobject_cast<QTimer*>(object_.data())) return timer->isActive();
    return !object_.isNull();
  }

 private:
  QPointer<QObject> object_;
};

}  // namespace

QtMainQueue::QtMainQueue(QObject* parent) : QObject(parent) {}
QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(Task task) {
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

Timer QtMainQueue::schedule(Seconds interval, bool repeats, Task task) {
  auto* timer = new QTimer(this);
  timer->setTimerType(Qt::PreciseTimer);
  timer->setSingleShot(!repeats);
  timer->setInterval(std::chrono::milliseconds(static_cast<int64_t>(interval.count() * 1000.0)));
  connect(timer, &QTimer::timeout, this, std::move(task));
  timer->start();
  return Timer(std::make_shared<QtHandle>(timer));
}

TimePoint QtMainQueue::now() const {
  return std::chrono::steady_clock::now();
}

Timer QtMainQueue::watchReadable(int fd, Task task) {
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [task = std::move(task)] { task(); });
  return Timer(std::make_shared<QtHandle>(notifier));
}

void QtMainQueue::runFor(Seconds duration) {
  QEventLoop loop;
  QTimer::singleShot(std::chrono::milliseconds(static_cast<int64_t>(duration.count() * 1000.0)),
                     &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace mixelot
