#include "update/UpdaterController.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <chrono>

#include "BuildInfo.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemLog.h"
#include "update/Appcast.h"
#include "update/PackageVerifier.h"
#include "update/UpdateDownloader.h"
#include "update/UpdatePreferences.h"
#include "update/UpdateUrl.h"
#include "update/UpdateUserDriver.h"
#include "update/WidgetUserDriver.h"

namespace mixelot {
namespace {

// A feed is a few kilobytes; a server that sends more is cut off rather than filling memory.
constexpr qint64 kMaxFeedSize = 4 * 1024 * 1024;

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
  // Not a hidden folder: a sandboxed software centre may see the downloads folder only.
  QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
  if (downloads.isEmpty()) downloads = QDir::homePath() + QStringLiteral("/Downloads");
  settings.cacheFolder = downloads + QStringLiteral("/Mixelot Updates");
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
  downloader_ = std::make_unique<UpdateDownloader>(
      *network_, settings_.cacheFolder, settings_.publicKey, runningVersion(),
      settings_.transferTimeout, settings_.extraCaCertificates);

  preferences_.registerDefaults(
      {{std::string(prefs::kAutomaticallyUpdate), prefs::kAutomaticallyUpdateDefault}});
  setAutomaticallyDownloadsUpdates(preferences_.boolValue(prefs::kAutomaticallyUpdate));

  // The updater is started: it may check from the next turn of the main queue on.
  std::weak_ptr<int> alive = lifetime_;
  queue_.post([this, alive] {
    if (alive.expired()) return;
    setCanCheckForUpdates(!sessionRunning_);
    downloader_->removeLeftovers();
  });

  // The daily check: a day after the last one that got an answer, looked for on a short timer,
  // but not in the first minutes after start.
  checkTimer_ = queue_.schedule(kFirstCheckDelay, false, [this, alive] {
    if (alive.expired()) return;
    checkTimer_ = queue_.schedule(kPollInterval, true, [this, alive] {
      if (!alive.expired()) runScheduledCheck();
    });
    runScheduledCheck();
  });
}

QString UpdaterController::runningVersion() const {
  return settings_.bundleVersion.value_or(QLatin1String(kFallbackVersion));
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
  if (!isSecureUpdateUrl(url)) {
    showCheckFailed(tr("This build of %1 has no valid secure (HTTPS) update address.")
                        .arg(settings_.bundleName.value_or(QLatin1String(kFallbackName))));
    return;
  }
  fetchFeed(url, Origin::user);
}

void UpdaterController::runScheduledCheck() {
  QUrl url = settings_.feedUrl ? QUrl(*settings_.feedUrl, QUrl::StrictMode) : QUrl();
  if (sessionRunning_ || !isSecureUpdateUrl(url)) return;
  // Due a day after the last answer, or at once when the clock went back before it.
  const double now = settings_.wallClock();
  const double last = preferences_.doubleValue(prefs::kLastCheckTime);
  if ((now >= last && now - last < kCheckInterval.count()) || now < retryAt_) return;
  sessionRunning_ = true;
  setCanCheckForUpdates(false);
  fetchFeed(url, Origin::scheduled);
}

void UpdaterController::scheduledCheckEnded(bool answered) {
  const double now = settings_.wallClock();
  if (answered) {
    preferences_.set(prefs::kLastCheckTime, now);
    retryAt_ = 0;
    retryDelay_ = kFirstRetryDelay;
    return;
  }
  retryAt_ = now + retryDelay_.count();
  retryDelay_ = std::min(retryDelay_ * 2, kCheckInterval);
}

void UpdaterController::fetchFeed(const QUrl& url, Origin origin) {
  QNetworkRequest request(url);
  // Every redirect is looked at before it is followed: it must be as secure as the feed itself.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::UserVerifiedRedirectPolicy);
  request.setTransferTimeout(static_cast<int>(settings_.transferTimeout.count()));
  if (!settings_.extraCaCertificates.isEmpty()) {
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.addCaCertificates(settings_.extraCaCertificates);
    request.setSslConfiguration(ssl);
  }
  QNetworkReply* reply = network_->get(request);
  // Why the check was given up on our side; empty while it runs its course.
  auto refusal = std::make_shared<QString>();
  auto refuse = [reply, refusal](const QString& why) {
    if (refusal->isEmpty()) *refusal = why;
    reply->abort();
  };
  connect(reply, &QNetworkReply::redirected, reply, [reply, url, refuse](const QUrl& to) {
    bool downgrade = url.scheme() == u"https" && to.scheme() != u"https";
    if (!downgrade && isSecureUpdateUrl(to)) {
      emit reply->redirectAllowed();
    } else {
      refuse(tr("The update server sent the check to an address that is not secure."));
    }
  });
  connect(reply, &QNetworkReply::downloadProgress, reply, [refuse](qint64 received, qint64) {
    if (received > kMaxFeedSize) refuse(tr("The update feed is larger than any feed of ours."));
  });
  // The transfer timeout counts silence only; a server that drips keeps it from firing.
  QTimer::singleShot(settings_.checkDeadline, reply,
                     [refuse] { refuse(tr("The update server took too long to answer.")); });
  connect(reply, &QNetworkReply::finished, this,
          [this, reply, origin, refusal] { onFeedFinished(reply, origin, *refusal); });
}

void UpdaterController::onFeedFinished(QNetworkReply* reply, Origin origin,
                                       const QString& refusal) {
  reply->deleteLater();
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  // Only a whole answer counts: an error at any point (also after the headers), our own
  // cut-off, a refused redirect or an unexpected status mean nothing was learnt. A 304 says on
  // purpose that nothing changed.
  QString failure = refusal;
  if (failure.isEmpty() && reply->error() != QNetworkReply::NoError)
    failure = tr("The update server could not be reached (%1).").arg(reply->errorString());
  if (failure.isEmpty() && status != 200 && status != 304)
    failure = tr("The update server answered with an error (HTTP %1).").arg(status);
  const QByteArray data = failure.isEmpty() && status == 200 ? reply->readAll() : QByteArray();

  std::optional<AppcastItem> best;
  const QString text = decodeStrictly(data);
  if (failure.isEmpty() && (text.contains(u"<item>") || text.contains(u"<item "))) {
    auto items = Appcast::parse(data);
    if (!items) failure = tr("The update feed is not in a form this version can read.");
    // A version skipped in the update window is not offered by the daily check again; asking
    // by hand shows it anyway.
    QString skipped;
    if (origin == Origin::scheduled)
      skipped =
          QString::fromStdString(preferences_.stringValue(prefs::kSkippedVersion).value_or(""));
    if (items) best = Appcast::bestUpdate(*items, runningVersion(), skipped);
  }
  if (origin == Origin::scheduled) scheduledCheckEnded(failure.isEmpty());
  if (best) return offer(*best, origin);
  if (origin == Origin::scheduled) return finishSession();
  if (!failure.isEmpty()) return showCheckFailed(failure + u' ' + tr("Try again later."));
  showUpToDate();
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
        return install(item);
      case UpdateUserDriver::Choice::skip:
        preferences_.set(prefs::kSkippedVersion, item.version.toStdString());
        return finishSession();
      case UpdateUserDriver::Choice::remindLater:
        return finishSession();
    }
  });
}

void UpdaterController::install(const AppcastItem& item) {
  // Checked again as it is handed over: hours may have passed since it was downloaded.
  const PackageVerifier verifier(settings_.publicKey, runningVersion());
  if (QString refusal = verifier.checkFile(downloadedPath_, item); !refusal.isEmpty()) {
    QFile::remove(downloadedPath_);
    driver().showDownloadFailed(refusal);
  } else {
    const bool opened = driver().openWithPackageInstaller(downloadedPath_);
    driver().showPackageLocation(downloadedPath_, opened);
  }
  finishSession();
}

void UpdaterController::download(const AppcastItem& item) {
  std::weak_ptr<int> alive = lifetime_;
  auto cancel = [this, alive] {
    if (alive.expired()) return;
    downloader_->cancel();
    driver().hideDownloadProgress();
    finishSession();
  };
  auto progress = [this, alive, cancel](qint64 received, qint64 total) {
    if (!alive.expired()) driver().showDownloadProgress(received, total, cancel);
  };
  progress(0, item.enclosureLength);
  downloader_->start(
      item,
      [this, alive, item](const UpdateDownloader::Result& result) {
        if (alive.expired()) return;
        driver().hideDownloadProgress();
        if (!result.ok) {
          driver().showDownloadFailed(result.error);
          return finishSession();
        }
        downloadedPath_ = result.path;
        showOffer(item, true);
      },
      progress);
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
