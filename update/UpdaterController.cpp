#include "update/UpdaterController.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QStringDecoder>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "BuildInfo.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemLog.h"
#include "update/Appcast.h"
#include "update/UpdateDownloader.h"
#include "update/UpdatePreferences.h"
#include "update/UpdateUserDriver.h"
#include "update/WidgetUserDriver.h"

namespace mixelot {
namespace {

constexpr const char* kApplicationId = "com.corvana.Mixelot";
// A feed is a few kilobytes; a server that sends more is cut off rather than filling memory.
constexpr qint64 kMaxFeedSize = 4 * 1024 * 1024;

QString cacheHome() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache && cache[0] == '/') return QString::fromLocal8Bit(cache);
  return QDir::homePath() + QStringLiteral("/.cache");
}

// The feed as text; undecodable bytes make it the empty text, as an unreadable feed offers
// nothing.
QString decodeStrictly(const QByteArray& data) {
  QStringDecoder decoder(QStringDecoder::Utf8);
  QString text = decoder.decode(data);
  return decoder.hasError() ? QString() : text;
}

}  // namespace

UpdaterSettings UpdaterSettings::forThisBuild() {
  UpdaterSettings settings;
  QString feed = QStringLiteral(MIXELOT_UPDATE_FEED_URL);
  if (!feed.isEmpty()) settings.feedUrl = feed;
  settings.bundleName = QStringLiteral("Mixelot");
  settings.bundleVersion = QString::fromLatin1(buildinfo::kVersion);
  settings.publicKey = QByteArrayLiteral(MIXELOT_UPDATE_PUBLIC_KEY);
  settings.cacheFolder =
      cacheHome() + u'/' + QLatin1String(kApplicationId) + QStringLiteral("/updates");
  return settings;
}

UpdaterController::UpdaterController(PreferencesStore& preferences, MainQueue& queue,
                                     UpdaterSettings settings, QObject* parent)
    : QObject(parent),
      preferences_(preferences),
      queue_(queue),
      settings_(std::move(settings)),
      network_(new QNetworkAccessManager(this)) {
  if (!settings_.wallClock) {
    settings_.wallClock = [] {
      using namespace std::chrono;
      return duration<double>(system_clock::now().time_since_epoch()).count();
    };
  }
  downloader_ =
      std::make_unique<UpdateDownloader>(*network_, settings_.cacheFolder, settings_.publicKey,
                                         settings_.transferTimeout, settings_.extraCaCertificates);

  preferences_.registerDefaults(
      {{std::string(prefs::kAutomaticallyUpdate), prefs::kAutomaticallyUpdateDefault}});
  setAutomaticallyDownloadsUpdates(preferences_.boolValue(prefs::kAutomaticallyUpdate));

  // The updater is started: it may check from the next turn of the main queue on.
  std::weak_ptr<int> alive = lifetime_;
  queue_.post([this, alive] {
    if (!alive.expired()) setCanCheckForUpdates(!sessionRunning_);
  });

  // The daily check: a day after the last one that got an answer, but not in the first minutes
  // after start.
  double last = preferences_.doubleValue(prefs::kLastCheckTime);
  double due = last + kCheckInterval.count() - settings_.wallClock();
  scheduleNextCheck(Seconds(std::clamp(due, kFirstCheckDelay.count(), kCheckInterval.count())));
}

UpdaterController::~UpdaterController() = default;

void UpdaterController::setAutomaticallyDownloadsUpdates(bool value) {
  preferences_.set(prefs::kAutomaticallyUpdate, value);
  if (automaticallyDownloadsUpdates_ == value) return;
  automaticallyDownloadsUpdates_ = value;
  emit automaticallyDownloadsUpdatesChanged();
}

void UpdaterController::setCanCheckForUpdates(bool value) {
  if (canCheckForUpdates_ == value) return;
  canCheckForUpdates_ = value;
  emit canCheckForUpdatesChanged();
}

QString UpdaterController::upToDateText() const {
  return settings_.bundleName.value_or(QLatin1String(kFallbackName)) + u' ' +
         settings_.bundleVersion.value_or(QLatin1String(kFallbackVersion)) +
         QStringLiteral(" is the latest version.");
}

UpdateUserDriver& UpdaterController::driver() {
  if (settings_.userDriver) return *settings_.userDriver;
  if (!ownDriver_) ownDriver_ = std::make_unique<WidgetUserDriver>();
  return *ownDriver_;
}

void UpdaterController::checkForUpdates() {
  // One session at a time: a second window for the same update helps nobody.
  if (sessionRunning_) return;
  sessionRunning_ = true;
  setCanCheckForUpdates(false);
  QUrl url = settings_.feedUrl ? QUrl(*settings_.feedUrl, QUrl::StrictMode) : QUrl();
  if (!url.isValid() || url.isRelative()) {
    showCheckFailed(tr("This build of %1 has no valid update address.")
                        .arg(settings_.bundleName.value_or(QLatin1String(kFallbackName))));
    return;
  }
  fetchFeed(url, Origin::user);
}

void UpdaterController::scheduleNextCheck(Seconds delay) {
  std::weak_ptr<int> alive = lifetime_;
  checkTimer_ = queue_.schedule(delay, false, [this, alive] {
    if (!alive.expired()) runScheduledCheck();
  });
}

void UpdaterController::runScheduledCheck() {
  scheduleNextCheck(kCheckInterval);
  QUrl url = settings_.feedUrl ? QUrl(*settings_.feedUrl, QUrl::StrictMode) : QUrl();
  if (sessionRunning_ || !url.isValid() || url.isRelative()) return;
  sessionRunning_ = true;
  setCanCheckForUpdates(false);
  fetchFeed(url, Origin::scheduled);
}

void UpdaterController::fetchFeed(const QUrl& url, Origin origin) {
  QNetworkRequest request(url);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setTransferTimeout(static_cast<int>(settings_.transferTimeout.count()));
  if (!settings_.extraCaCertificates.isEmpty()) {
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.addCaCertificates(settings_.extraCaCertificates);
    request.setSslConfiguration(ssl);
  }
  QNetworkReply* reply = network_->get(request);
  connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
    if (received > kMaxFeedSize) reply->abort();
  });
  connect(reply, &QNetworkReply::finished, this,
          [this, reply, origin] { onFeedFinished(reply, origin); });
}

void UpdaterController::onFeedFinished(QNetworkReply* reply, Origin origin) {
  reply->deleteLater();
  int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  bool answered = reply->error() == QNetworkReply::NoError && status == 200;
  QByteArray data = answered ? reply->readAll() : QByteArray();
  if (origin == Origin::scheduled && answered)
    preferences_.set(prefs::kLastCheckTime, settings_.wallClock());

  QString text = decodeStrictly(data);
  bool offersItems = text.contains(u"<item>") || text.contains(u"<item ");
  std::optional<AppcastItem> best;
  if (offersItems) {
    // A version skipped in the update window is not offered by the daily check again; asking
    // by hand shows it anyway.
    QString skipped;
    if (origin == Origin::scheduled)
      skipped =
          QString::fromStdString(preferences_.stringValue(prefs::kSkippedVersion).value_or(""));
    best = Appcast::bestUpdate(Appcast::parse(data),
                               settings_.bundleVersion.value_or(QLatin1String(kFallbackVersion)),
                               skipped);
  }
  if (best) return offer(*best, origin);
  // No status at all (refused, timed out, cut off) or an error status: nothing was learnt. A
  // 304 or any other answer the server gave on purpose means there is nothing new.
  if (origin == Origin::user && (status == 0 || status >= 400)) {
    if (status == 0)
      return showCheckFailed(tr("The update server could not be reached (%1). Try again later.")
                                 .arg(reply->errorString()));
    return showCheckFailed(
        tr("The update server answered with an error (HTTP %1). Try again later.").arg(status));
  }
  if (origin == Origin::user) return showUpToDate();
  finishSession();
}

void UpdaterController::offer(const AppcastItem& item, Origin origin) {
  if (origin == Origin::scheduled && automaticallyDownloadsUpdates_) {
    // Fetched quietly; the user hears of it once it is ready to install. A failure is quiet too:
    // the next daily check tries again.
    std::weak_ptr<int> alive = lifetime_;
    downloader_->start(item, [this, alive, item](const UpdateDownloader::Result& result) {
      if (alive.expired()) return;
      if (!result.ok) return finishSession();
      downloadedPath_ = result.path;
      showOffer(item, true);
    });
    return;
  }
  showOffer(item, false);
}

void UpdaterController::showOffer(const AppcastItem& item, bool downloaded) {
  std::weak_ptr<int> alive = lifetime_;
  driver().showUpdateFound(item, downloaded, [this, alive, item](UpdateUserDriver::Choice choice) {
    if (alive.expired()) return;
    switch (choice) {
      case UpdateUserDriver::Choice::download:
        return download(item);
      case UpdateUserDriver::Choice::install:
        if (!driver().openWithPackageInstaller(downloadedPath_))
          driver().showDownloadFailed(
              tr("No package installer could open the update. It is at %1.").arg(downloadedPath_));
        return finishSession();
      case UpdateUserDriver::Choice::skip:
        preferences_.set(prefs::kSkippedVersion, item.version.toStdString());
        return finishSession();
      case UpdateUserDriver::Choice::remindLater:
        return finishSession();
    }
  });
}

void UpdaterController::download(const AppcastItem& item) {
  std::weak_ptr<int> alive = lifetime_;
  downloader_->start(item, [this, alive, item](const UpdateDownloader::Result& result) {
    if (alive.expired()) return;
    if (!result.ok) {
      driver().showDownloadFailed(result.error);
      return finishSession();
    }
    downloadedPath_ = result.path;
    showOffer(item, true);
  });
}

void UpdaterController::showUpToDate() {
  driver().showUpToDate(QString::fromLatin1(kUpToDateMessage), upToDateText());
  finishSession();
}

void UpdaterController::showCheckFailed(const QString& reason) {
  logLine("Update check failed: " + reason.toStdString());
  driver().showCheckFailed(QString::fromLatin1(kCheckFailedMessage), reason);
  finishSession();
}

void UpdaterController::finishSession() {
  sessionRunning_ = false;
  setCanCheckForUpdates(true);
}

}  // namespace mixelot
