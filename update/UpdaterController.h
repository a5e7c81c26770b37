#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <memory>
#include <optional>

#include "platform/MainQueue.h"
#include "update/AppcastItem.h"
#include "update/UpdaterSettings.h"

class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

namespace mixelot {

class PreferencesStore;
class UpdateDownloader;
class UpdateUserDriver;

// The program's update component: a daily look at the update feed, the manual check behind the
// settings' "Check for Updates…", the update window, and verified downloads handed to the
// system's package installer. It never runs anything it downloaded.
//
// Main thread only. Properties notify only on a real change.
class UpdaterController final : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool automaticallyDownloadsUpdates READ automaticallyDownloadsUpdates WRITE
                 setAutomaticallyDownloadsUpdates NOTIFY automaticallyDownloadsUpdatesChanged)
  Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

 public:
  static constexpr const char* kUpToDateMessage = "You're up to date!";
  static constexpr const char* kCheckFailedMessage = "Couldn't check for updates";
  static constexpr const char* kFallbackName = "This app";
  static constexpr const char* kFallbackVersion = "1.0";
  static constexpr Seconds kCheckInterval{24.0 * 60 * 60};
  // The first scheduled check waits this long after start, so it never competes with the launch.
  static constexpr Seconds kFirstCheckDelay{10.0 * 60};
  // How often the wall clock is compared with the last check's time. A timer alone would not
  // count time spent suspended; this way a check that came due while asleep follows soon after.
  static constexpr Seconds kPollInterval{10.0 * 60};
  // A scheduled check that failed is tried again after this long, doubling up to a day.
  static constexpr Seconds kFirstRetryDelay{15.0 * 60};

  // Registers the "SUAutomaticallyUpdate" default, reads it, and starts the updater: checks may
  // begin once the main queue has run, and the daily check is scheduled.
  UpdaterController(PreferencesStore& preferences, MainQueue& queue,
                    UpdaterSettings settings = UpdaterSettings::forThisBuild(),
                    QObject* parent = nullptr);
  ~UpdaterController() override;

  bool automaticallyDownloadsUpdates() const { return automaticallyDownloadsUpdates_; }
  // Every assignment, also an unchanged one, is written through to "SUAutomaticallyUpdate".
  void setAutomaticallyDownloadsUpdates(bool value);

  // False at creation, while a check or a download runs, and while an update window waits for
  // the user.
  bool canCheckForUpdates() const { return canCheckForUpdates_; }

  // The manual check: looks at the feed and either offers its update or says "up to date". A
  // check that learnt nothing (no secure address, no connection, an error or our own cut-off at
  // any point, a refused redirect, a server error, an unreadable feed) says it failed instead:
  // "up to date" would be a claim nobody checked.
  Q_INVOKABLE void checkForUpdates();

  // The up-to-date alert's informative text: name + " " + version + " is the latest version."
  QString upToDateText() const;

 signals:
  void automaticallyDownloadsUpdatesChanged();
  void canCheckForUpdatesChanged();

 private:
  enum class Origin { user, scheduled };

  void setCanCheckForUpdates(bool value);
  void runScheduledCheck();
  void fetchFeed(const QUrl& url, Origin origin);
  void onFeedFinished(QNetworkReply* reply, Origin origin, const QString& refusal);
  void scheduledCheckEnded(bool answered);
  void install(const AppcastItem& item);
  void offer(const AppcastItem& item, Origin origin);
  void showOffer(const AppcastItem& item, bool downloaded);
  void download(const AppcastItem& item);
  QString runningVersion() const;
  void showUpToDate();
  void showCheckFailed(const QString& reason);
  void finishSession();
  UpdateUserDriver& driver();

  PreferencesStore& preferences_;
  MainQueue& queue_;
  UpdaterSettings settings_;
  std::unique_ptr<UpdateUserDriver> ownDriver_;
  QNetworkAccessManager* network_;
  std::unique_ptr<UpdateDownloader> downloader_;
  bool automaticallyDownloadsUpdates_ = true;
  bool canCheckForUpdates_ = false;
  bool sessionRunning_ = false;
  QString downloadedPath_;
  Timer checkTimer_;
  // When a failed scheduled check may be tried again (wall clock), and the wait after the next
  // failure.
  double retryAt_ = 0;
  Seconds retryDelay_ = kFirstRetryDelay;
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace mixelot
