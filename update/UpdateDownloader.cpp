#include "update/UpdateDownloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTimer>
#include <cerrno>
#include <cstring>

#include "update/UpdateUrl.h"

namespace mixelot {
namespace {

constexpr const char* kPartialSuffix = ".part";
constexpr const char* kFallbackFileName = "update.deb";

QString systemError() {
  return QString::fromLocal8Bit(std::strerror(errno));
}

}  // namespace

UpdateDownloader::UpdateDownloader(QNetworkAccessManager& network, QString cacheFolder,
                                   QByteArray publicKey, QString runningVersion,
                                   std::chrono::milliseconds transferTimeout,
                                   QList<QSslCertificate> extraCaCertificates, QObject* parent)
    : QObject(parent),
      network_(network),
      cacheFolder_(std::move(cacheFolder)),
      verifier_(std::move(publicKey), std::move(runningVersion)),
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

void UpdateDownloader::start(const AppcastItem& item, std::function<void(Result)> done,
                             Progress progress) {
  abandon();
  item_ = item;
  done_ = std::move(done);
  progress_ = std::move(progress);
  received_ = 0;
  tooLong_ = writeFailed_ = redirectRefused_ = timedOut_ = false;

  const QUrl& url = item.enclosureUrl;
  // Packages come over HTTPS only, in every build.
  if (!isSecureUpdateUrl(url, false))
    return fail(tr("The update is not offered over a secure (HTTPS) connection."));
  if (item.enclosureLength <= 0)
    return fail(tr("The update feed does not give the size of the update."));
  if (item.enclosureLength > PackageVerifier::kMaxPackageSize)
    return fail(tr("The update feed announces an update of %1 MiB, far larger than any of ours.")
                    .arg(item.enclosureLength >> 20));
  if (item.edSignature.isEmpty()) return fail(tr("The update is not signed."));
  if (QString error = openFolderAndFile(); !error.isEmpty()) return fail(error);

  QNetworkRequest request(url);
  // HTTPS to the end: every redirect is looked at before it is followed.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::UserVerifiedRedirectPolicy);
  request.setTransferTimeout(static_cast<int>(transferTimeout_.count()));
  if (!extraCaCertificates_.isEmpty()) {
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.addCaCertificates(extraCaCertificates_);
    request.setSslConfiguration(ssl);
  }
  reply_ = network_.get(request);
  QNetworkReply* reply = reply_;
  connect(reply, &QNetworkReply::redirected, this, [this, reply](const QUrl& to) {
    if (isSecureUpdateUrl(to, false)) {
      emit reply->redirectAllowed();
    } else {
      redirectRefused_ = true;
      reply->abort();
    }
  });
  connect(reply, &QNetworkReply::readyRead, this, &UpdateDownloader::onReadyRead);
  connect(reply, &QNetworkReply::finished, this, &UpdateDownloader::onFinished);
  QTimer::singleShot(kDeadline, reply, [this, reply] {
    timedOut_ = true;
    reply->abort();
  });
}

QString UpdateDownloader::openFolder(bool create) {
  // The folder's parents may be shared; the folder itself is made, or found, the user's alone.
  const QByteArray folder = QFile::encodeName(QDir::cleanPath(cacheFolder_));
  if (create) {
    QDir().mkpath(QFileInfo(cacheFolder_).absolutePath());
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
      return tr("The folder %1 could not be created: %2").arg(cacheFolder_, systemError());
  }
  folderFd_ = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status {};
  if (folderFd_ < 0 || ::fstat(folderFd_, &status) != 0 || status.st_uid != ::geteuid() ||
      ((status.st_mode & 077) != 0 && ::fchmod(folderFd_, 0700) != 0))
    return tr("The folder %1 is not yours alone; updates are not kept there.").arg(cacheFolder_);
  return {};
}

void UpdateDownloader::removeLeftovers() {
  if (reply_ || !openFolder(false).isEmpty()) return closeFiles(false);
  for (const QString& name :
       QDir(cacheFolder_).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
    const QByteArray entry = QFile::encodeName(name);
    int fd = ::openat(folderFd_, entry.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    bool keep =
        fd >= 0 && !name.endsWith(QLatin1String(kPartialSuffix)) && verifier_.isNewerPackage(fd);
    if (fd >= 0) ::close(fd);
    if (!keep) ::unlinkat(folderFd_, entry.constData(), 0);
  }
  closeFiles(false);
}

QString UpdateDownloader::openFolderAndFile() {
  if (QString error = openFolder(true); !error.isEmpty()) return error;

  // Created afresh: whatever is left at the name (a killed run's file, a planted link) goes.
  fileName_ = QFile::encodeName(fileNameFor(item_.enclosureUrl) + QLatin1String(kPartialSuffix));
  ::unlinkat(folderFd_, fileName_.constData(), 0);
  fileFd_ = ::openat(folderFd_, fileName_.constData(),
                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fileFd_ < 0) return tr("The update could not be saved: %1").arg(systemError());
  return {};
}

void UpdateDownloader::onReadyRead() {
  if (!reply_ || fileFd_ < 0) return;
  QByteArray chunk = reply_->readAll();
  received_ += chunk.size();
  // Never more than announced on disk: a server that keeps sending is cut off.
  if (received_ > item_.enclosureLength) {
    tooLong_ = true;
    reply_->abort();
    return;
  }
  for (qsizetype written = 0; written < chunk.size();) {
    ssize_t n =
        ::write(fileFd_, chunk.constData() + written, static_cast<size_t>(chunk.size() - written));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      writeFailed_ = true;
      reply_->abort();
      return;
    }
    written += n;
  }
  // Last: the listener may cancel the download.
  if (progress_ && !chunk.isEmpty()) progress_(received_, item_.enclosureLength);
}

void UpdateDownloader::onFinished() {
  if (!reply_) return;
  if (reply_->error() == QNetworkReply::NoError && !tooLong_ && !writeFailed_) onReadyRead();
  if (!reply_) return;  // cancelled while hearing of the last bytes
  QNetworkReply* reply = reply_;
  reply_ = nullptr;
  reply->deleteLater();
  int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

  if (tooLong_) return fail(tr("The update is larger than the update feed says."));
  if (writeFailed_) return fail(tr("The update could not be saved: %1").arg(systemError()));
  if (redirectRefused_ || reply->error() == QNetworkReply::InsecureRedirectError)
    return fail(tr("The update was redirected to an insecure address."));
  if (timedOut_) return fail(tr("The update took too long to download."));
  if (reply->error() != QNetworkReply::NoError)
    return fail(tr("The update could not be downloaded: %1").arg(reply->errorString()));
  if (status != 200) return fail(tr("The update could not be downloaded (HTTP %1).").arg(status));
  if (received_ != item_.enclosureLength)
    return fail(tr("The update is not the size the update feed says."));
  // Checked through the descriptor it was written by: the name could be swapped, this file not.
  if (QString refusal = verifier_.check(fileFd_, item_); !refusal.isEmpty()) return fail(refusal);

  const QString finalName = fileNameFor(item_.enclosureUrl);
  if (::renameat(folderFd_, fileName_.constData(), folderFd_,
                 QFile::encodeName(finalName).constData()) != 0)
    return fail(tr("The update could not be saved: %1").arg(systemError()));
  closeFiles(false);
  // Only the newest package is worth keeping: earlier ones would pile up release after release.
  QDir folder(cacheFolder_);
  for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System))
    if (name != finalName) folder.remove(name);
  Result result{true, folder.filePath(finalName), {}};
  auto done = std::move(done_);
  done_ = nullptr;
  if (done) done(result);
}

void UpdateDownloader::closeFiles(bool removePartial) {
  if (fileFd_ >= 0) ::close(fileFd_);
  fileFd_ = -1;
  if (folderFd_ >= 0) {
    if (removePartial && !fileName_.isEmpty()) ::unlinkat(folderFd_, fileName_.constData(), 0);
    ::close(folderFd_);
  }
  folderFd_ = -1;
  fileName_.clear();
}

void UpdateDownloader::fail(const QString& error) {
  closeFiles(true);
  auto done = std::move(done_);
  done_ = nullptr;
  if (!done) return;
  // Always later, so a caller never sees its callback run inside start().
  QTimer::singleShot(0, this, [done = std::move(done), error] { done(Result{false, {}, error}); });
}

void UpdateDownloader::abandon() {
  done_ = nullptr;
  progress_ = nullptr;
  if (reply_) {
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
  }
  closeFiles(true);
}

}  // namespace mixelot
