#pragma once

#include <QString>
#include <functional>

#include "update/AppcastItem.h"

namespace mixelot {

// Everything the update component shows the user, behind one interface: windows on a desktop,
// a recording double in tests. Every reply is called at most once, on the main thread.
class UpdateUserDriver {
 public:
  enum class Choice { download, install, remindLater, skip };

  virtual ~UpdateUserDriver() = default;

  // The informational "up to date" alert with one OK button.
  virtual void showUpToDate(const QString& message, const QString& informativeText) = 0;

  // An update is on offer. With `downloaded` false the choices are download, remind later and
  // skip; with `downloaded` true (the verified package waits in the cache) they are install,
  // remind later and skip.
  virtual void showUpdateFound(const AppcastItem& item, bool downloaded,
                               std::function<void(Choice)> reply) = 0;

  // A check asked for by hand could not reach the feed: the user must not be told "up to date"
  // when nothing was learnt.
  virtual void showCheckFailed(const QString& message, const QString& informativeText) = 0;

  // A download the user asked for is running: `received` of `total` bytes so far. Called
  // whenever more arrives; `cancel` stops it (nothing else is shown for it then).
  virtual void showDownloadProgress(qint64 received, qint64 total,
                                    std::function<void()> cancel) = 0;
  // That download ended (done, failed or cancelled): its progress goes away.
  virtual void hideDownloadProgress() = 0;

  // A download that was asked for failed (and its file is gone).
  virtual void showDownloadFailed(const QString& message) = 0;

  // Hands a verified package to the system's package installer; returns whether one took it.
  virtual bool openWithPackageInstaller(const QString& path) = 0;

  // After the hand-off, whether or not an installer took the package (`opened`): where the
  // package is, with a way to open its folder. An opener that started says nothing about an
  // installer that showed up, so the user can always install it by hand.
  virtual void showPackageLocation(const QString& path, bool opened) = 0;
};

}  // namespace mixelot
