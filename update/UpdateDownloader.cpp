#include "update/UpdateDownloader.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTimer>

#include "update/Ed25519.h"

namespace mixelot {
namespace {

constexpr const char* kPartialSuffix = ".part";
constexpr const char* kFallbackFileName = "update.deb";

}  // namespace

UpdateDownloader::UpdateDownloader(QNetworkAccessManager& network, QString cacheFolder,
                                   QByteArray publicKey, std::chrono::milliseconds transferTimeout,
                                   QList<QSslCertificate> extraCaCertificates, QObject* parent)
    : QObject(parent),
      network_(network),
      cacheFolder_(std::move(cacheFolder)),
      publicKey_(std::move(publicKey)),
      transferTimeout_(transferTimeout),
      extraCaCertificates_(std::move(extraCaCertificates)) {}

UpdateDownloader::~UpdateDownloader() {
  abandon();
}

QString UpdateDownloader::fileNameFor(const QUrl& url) {
  QString name = url.fileName();
  for (QChar& c : name) {
    bool safe = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                c == u'.' || c == u'_' || c == u'-' || c == u'+' || c == u'~';
    if (!safe) c = u'_';
  }
  // No hidden files, and never "." or "..".
  while (name.startsWith(u'.')) name.remove(0, 1);
  return name.isEmpty() ? QString::fromLatin1(kFallbackFileName) : name;
}

void UpdateDownloader::start(const AppcastItem& item, std::function<void(Result)> done) {
  abandon();
  item_ = item;
  done_ = std::move(done);
  received_ = 0;
  tooLong_ = false;

  const QUrl& url = item.enclosureUrl;
  if (!url.isValid() || url.scheme() != u"https" || url.host().isEmpty())
    return fail(tr("The update is not offered over a secure (HTTPS) connection."));
  if (item.enclosureLength <= 0)
    return fail(tr("The update feed does not give the size of the update."));
  if (item.edSignature.isEmpty()) return fail(tr("The update is not signed."));
  if (!QDir().mkpath(cacheFolder_))
    return fail(tr("The folder %1 could not be created.").arg(cacheFolder_));

  finalPath_ = QDir(cacheFolder_).filePath(fileNameFor(url));
  file_ = std::make_unique<QFile>(finalPath_ + QLatin1String(kPartialSuffix));
  if (!file_->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    QString error = file_->errorString();
    file_.reset();
    return fail(tr("The update could not be saved: %1").arg(error));
  }
  file_->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);

  QNetworkRequest request(url);
  // HTTPS to the end: a redirect to plain HTTP fails the download.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setTransferTimeout(static_cast<int>(transferTimeout_.count()));
  if (!extraCaCertificates_.isEmpty()) {
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.addCaCertificates(extraCaCertificates_);
    request.setSslConfiguration(ssl);
  }
  reply_ = network_.get(request);
  connect(reply_, &QNetworkReply::readyRead, this, &UpdateDownloader::onReadyRead);
  connect(reply_, &QNetworkReply::finished, this, &UpdateDownloader::onFinished);
}

void UpdateDownloader::onReadyRead() {
  if (!reply_ || !file_) return;
  QByteArray chunk = reply_->readAll();
  received_ += chunk.size();
  // Never more than announced on disk: a server that keeps sending is cut off.
  if (received_ > item_.enclosureLength) {
    tooLong_ = true;
    reply_->abort();
    return;
  }
  if (file_->write(chunk) != chunk.size()) {
    file_->close();
    reply_->abort();
  }
}

void UpdateDownloader::onFinished() {
  if (!reply_) return;
  if (!tooLong_) onReadyRead();
  QNetworkReply* reply = reply_;
  reply_ = nullptr;
  reply->deleteLater();
  bool writeFailed = file_ && !file_->isOpen();
  int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

  if (tooLong_) return fail(tr("The update is larger than the update feed says."));
  if (reply->error() == QNetworkReply::InsecureRedirectError)
    return fail(tr("The update was redirected to an insecure (HTTP) address."));
  if (reply->error() != QNetworkReply::NoError)
    return fail(tr("The update could not be downloaded: %1").arg(reply->errorString()));
  if (status != 200) return fail(tr("The update could not be downloaded (HTTP %1).").arg(status));
  if (writeFailed || !file_->flush())
    return fail(tr("The update could not be saved: %1").arg(file_->errorString()));
  if (received_ != item_.enclosureLength)
    return fail(tr("The update is not the size the update feed says."));

  file_->close();
  if (!file_->open(QIODevice::ReadOnly))
    return fail(tr("The update could not be read back: %1").arg(file_->errorString()));
  QByteArray contents = file_->readAll();
  file_->close();
  if (!verifyEd25519(publicKey_, item_.edSignature, contents))
    return fail(tr("The update's signature is not valid; the download was deleted."));

  QFile::remove(finalPath_);
  if (!file_->rename(finalPath_))
    return fail(tr("The update could not be saved: %1").arg(file_->errorString()));
  file_.reset();
  // Only the newest package is worth keeping: earlier ones would pile up release after release.
  QDir folder(cacheFolder_);
  for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden))
    if (folder.filePath(name) != finalPath_) folder.remove(name);
  Result result{true, finalPath_, {}};
  auto done = std::move(done_);
  done_ = nullptr;
  if (done) done(result);
}

void UpdateDownloader::fail(const QString& error) {
  if (file_) {
    file_->close();
    file_->remove();
    file_.reset();
  }
  auto done = std::move(done_);
  done_ = nullptr;
  if (!done) return;
  // Always later, so a caller never sees its callback run inside start().
  QTimer::singleShot(0, this, [done = std::move(done), error] { done(Result{false, {}, error}); });
}

void UpdateDownloader::abandon() {
  done_ = nullptr;
  if (reply_) {
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
  }
  if (file_) {
    file_->close();
    file_->remove();
    file_.reset();
  }
}

}  // namespace mixelot
