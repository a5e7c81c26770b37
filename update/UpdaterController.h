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
  // feed that cannot be reached (no address, no connection, a timeout, a server error) says so
  // instead: "up to date" would be a claim nobody checked.
  Q_INVOKABLE void checkForUpdates();

  // The up-to-date alert's informative text: name + " " + version + " is the latest version."
  QString upToDateText() const;

 signals:
  void automaticallyDownloadsUpdatesChanged();
  void canCheckForUpdatesChanged();

 private:
  enum class Origin { user, scheduled };

  void setCanCheckForUpdates(bool value);
  void scheduleNextCheck(Seconds delay);
  void runScheduledCheck();
  void fetchFeed(const QUrl& url, Origin origin);
  void onFeedFinished(QNetworkReply* reply, Origin origin);
  void offer(const AppcastItem& item, Origin origin);
  void showOffer(const AppcastItem& item, bool downloaded);
  void download(const AppcastItem& item);
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
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace mixelot
