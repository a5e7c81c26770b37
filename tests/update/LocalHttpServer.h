#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for the update tests, plain or over TLS with the test
// certificate: one canned response per path, one request per connection.

#include <QFile>
#include <QHash>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

namespace mixelot::testsupport {

class LocalHttpServer final : public QTcpServer {
 public:
  struct Response {
    int status = 200;
    QByteArray body;
    qint64 announcedLength = -1;  // the Content-Length sent; -1 sends the body's true size
    QByteArray location;
    bool hang = false;  // accept the request and never answer
  };

  explicit LocalHttpServer(bool tls) : tls_(tls) { listen(QHostAddress::LocalHost); }

  static QByteArray testData(const QString& name) {
    QFile file(QStringLiteral(MIXELOT_TEST_DATA "/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
  static QSslCertificate certificate() {
    return QSslCertificate(testData(QStringLiteral("localhost.pem")));
  }

  QString url(const QString& path) const {
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(tls_ ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(serverPort())
        .arg(path);
  }

  void route(const QString& path, Response response) { routes_[path] = std::move(response); }
  int requests() const { return requests_; }

 protected:
  void incomingConnection(qintptr descriptor) override {
    auto* socket = tls_ ? new QSslSocket(this) : new QTcpSocket(this);
    socket->setSocketDescriptor(descriptor);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (auto* ssl = qobject_cast<QSslSocket*>(socket)) {
      ssl->setLocalCertificate(certificate());
      ssl->setPrivateKey(QSslKey(testData(QStringLiteral("localhost.key")), QSsl::Ec));
      ssl->startServerEncryption();
    }
  }

 private:
  void serve(QTcpSocket* socket) {
    QByteArray& request = pending_[socket];
    request += socket->readAll();
    if (!request.contains("\r\n\r\n")) return;
    ++requests_;
    QByteArray path = request.split(' ').value(1);
    pending_.remove(socket);
    Response response = routes_.value(QString::fromLatin1(path), Response{404, "not here"});
    if (response.hang) return;
    qint64 length = response.announcedLength >= 0 ? response.announcedLength : response.body.size();
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) +
                      " X\r\nContent-Length: " + QByteArray::number(length) +
                      "\r\nConnection: close\r\n";
    if (!response.location.isEmpty()) head += "Location: " + response.location + "\r\n";
    socket->write(head + "\r\n" + response.body);
    socket->disconnectFromHost();
  }

  bool tls_;
  QHash<QString, Response> routes_;
  QHash<QTcpSocket*, QByteArray> pending_;
  int requests_ = 0;
};

}  // namespace mixelot::testsupport
