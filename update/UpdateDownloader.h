#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

#include "update/AppcastItem.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace mixelot {

// Fetches an update's package into the cache folder and keeps it only when it is exactly what
// the feed announced and carries a valid Ed25519 signature by our key. The address must be
// HTTPS, and so must every redirect. A package that fails any check is deleted; a verified one
// replaces the earlier packages in the folder. Nothing downloaded is ever made executable or run.
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

  UpdateDownloader(QNetworkAccessManager& network, QString cacheFolder, QByteArray publicKey,
                   std::chrono::milliseconds transferTimeout,
                   QList<QSslCertificate> extraCaCertificates, QObject* parent = nullptr);
  ~UpdateDownloader() override;

  // Starts a download; `done` runs once on the main thread, later (never from inside start).
  // A download already running is abandoned first (its `done` never runs).
  void start(const AppcastItem& item, std::function<void(Result)> done);

  // The file name the package is kept under: the URL's last segment, reduced to characters
  // that are safe in a file name.
  static QString fileNameFor(const QUrl& url);

 private:
  void fail(const QString& error);
  void onReadyRead();
  void onFinished();
  void abandon();

  QNetworkAccessManager& network_;
  QString cacheFolder_;
  QByteArray publicKey_;
  std::chrono::milliseconds transferTimeout_;
  QList<QSslCertificate> extraCaCertificates_;
  AppcastItem item_;
  std::function<void(Result)> done_;
  QPointer<QNetworkReply> reply_;
  std::unique_ptr<QFile> file_;
  QString finalPath_;
  qint64 received_ = 0;
  bool tooLong_ = false;
};

}  // namespace mixelot
