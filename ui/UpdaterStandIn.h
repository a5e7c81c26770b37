#pragma once

#include <QObject>

namespace mixelot {

// What the About tab binds to where the program has no update controller: the same properties,
// with checking switched off.
class UpdaterStandIn final : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool automaticallyDownloadsUpdates READ automaticallyDownloadsUpdates WRITE
                 setAutomaticallyDownloadsUpdates NOTIFY automaticallyDownloadsUpdatesChanged)
  Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates CONSTANT)

 public:
  using QObject::QObject;

  bool automaticallyDownloadsUpdates() const { return automaticallyDownloadsUpdates_; }
  void setAutomaticallyDownloadsUpdates(bool value) {
    if (value == automaticallyDownloadsUpdates_) return;
    automaticallyDownloadsUpdates_ = value;
    emit automaticallyDownloadsUpdatesChanged();
  }
  bool canCheckForUpdates() const { return false; }
  Q_INVOKABLE void checkForUpdates() {}

 signals:
  void automaticallyDownloadsUpdatesChanged();

 private:
  bool automaticallyDownloadsUpdates_ = false;
};

}  // namespace mixelot
