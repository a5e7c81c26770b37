#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QString>
#include <chrono>
#include <functional>

#include "update/AppcastItem.h"
#include "update/PackageVerifier.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace mixelot {

// Fetches an update's package into the cache folder and keeps it only when PackageVerifier
// accepts it. The address must be HTTPS, and so must every redirect. The folder is the user's
// alone (0700, owned by them, not a link) and the package is written to a file created afresh
// (never through a link planted in its place) and checked from that same descriptor. A package
// that fails any check is deleted; a verified one replaces the earlier packages in the folder.
// Nothing downloaded is ever made executable or run.
class UpdateDownloader final : public QObject {
  Q_OBJECT

 public:
  struct Result {
    bool ok = false;
    // The verified package; empty on failure.
    QString path;
    // Why it failed, for the user.
    QString error;
  };

  // A download, however steadily it trickles in, is given up after this long.
  static constexpr std::chrono::minutes kDeadline{60};

  UpdateDownloader(QNetworkAccessManager& network, QString cacheFolder, QByteArray publicKey,
                   QString runningVersion, std::chrono::milliseconds transferTimeout,
                   QList<QSslCertificate> extraCaCertificates, QObject* parent = nullptr);
  ~UpdateDownloader() override;

  // Starts a download; `done` runs once on the main thread, later (never from inside start).
  // A download already running is abandoned first (its `done` never runs). `progress`, when
  // given, hears of the bytes received so far and the announced total as they come in.
  using Progress = std::function<void(qint64 received, qint64 total)>;
  void start(const AppcastItem& item, std::function<void(Result)> done, Progress progress = {});

  // Stops the running download and removes its file; its `done` never runs.
  void cancel() { abandon(); }

  // Removes what a killed run left in the folder (partial downloads) and packages that are not
  // newer than the running program. Does nothing while a download runs.
  void removeLeftovers();

  // The file name the package is kept under: the URL's last segment, reduced to characters
  // that are safe in a file name.
  static QString fileNameFor(const QUrl& url);

 private:
  QString openFolder(bool create);
  QString openFolderAndFile();
  void fail(const QString& error);
  void onReadyRead();
  void onFinished();
  void abandon();
  void closeFiles(bool removePartial);

  QNetworkAccessManager& network_;
  QString cacheFolder_;
  PackageVerifier verifier_;
  std::chrono::milliseconds transferTimeout_;
  QList<QSslCertificate> extraCaCertificates_;
  AppcastItem item_;
  std::function<void(Result)> done_;
  Progress progress_;
  QPointer<QNetworkReply> reply_;
  int folderFd_ = -1;
  int fileFd_ = -1;
  QByteArray fileName_;
  qint64 received_ = 0;
  bool tooLong_ = false;
  bool writeFailed_ = false;
  bool redirectRefused_ = false;
  bool timedOut_ = false;
};

}  // namespace mixelot
