#pragma once

#include <QObject>

#include "platform/MainQueue.h"

namespace mixelot {

// The main queue on Qt's event loop: the thread that owns this object (the GUI thread) is the
// main thread.
class QtMainQueue final : public QObject, public MainQueue {
  Q_OBJECT

 public:
  explicit QtMainQueue(QObject* parent = nullptr);
  ~QtMainQueue() override;

  void post(Task task) override;
  Timer schedule(Seconds interval, bool repeats, Task task) override;
  TimePoint now() const override;
  Timer watchReadable(int fd, Task task) override;
  // A nested event loop for `duration`: events, posts and timers are handled meanwhile.
  void runFor(Seconds duration) override;
};

}  // namespace mixelot
