#include "update/UpdateDownloader.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QtTest>
#include <optional>

#include "LocalHttpServer.h"
#include "TestSigner.h"
#include "support/TempFolder.h"

using namespace mixelot;
using testsupport::LocalHttpServer;

class UpdateDownloaderTest : public QObject {
  Q_OBJECT

  struct World {
    testsupport::TempFolder folder;
    testsupport::TestSigner signer;
    LocalHttpServer https{true};
    LocalHttpServer http{false};
    QNetworkAccessManager network;
    UpdateDownloader downloader{network,
                                QString::fromStdString(folder.path()) + "/updates",
                                signer.publicKey(),
                                std::chrono::milliseconds(20000),
                                {LocalHttpServer::certificate()}};
    QByteArray package = QByteArray("!<arch>\ndebian-binary   ").repeated(3000);

    AppcastItem item(const QString& url) {
      return {.version = QStringLiteral("2.0"),
              .enclosureUrl = QUrl(url),
              .enclosureLength = package.size(),
              .edSignature = signer.sign(package)};
    }

    UpdateDownloader::Result run(const AppcastItem& i) {
      std::optional<UpdateDownloader::Result> result;
      downloader.start(i, [&](const UpdateDownloader::Result& r) { result = r; });
      if (!QTest::qWaitFor([&] { return result.has_value(); }, 30000)) return {};
      return *result;
    }

    QStringList files() const {
      return QDir(QString::fromStdString(folder.path()) + "/updates").entryList(QDir::Files);
    }
  };

 private slots:
  void aPackageWithAGoodSignatureIsKeptAndReplacesEarlierOnes() {
    World world;
    world.https.route("/pkg/mixelot_2.0_amd64.deb", {200, world.package});
    QDir().mkpath(QString::fromStdString(world.folder / "updates"));
    QFile(QString::fromStdString(world.folder / "updates/mixelot_1.9_amd64.deb"))
        .open(QIODevice::WriteOnly);
    auto result = world.run(world.item(world.https.url("/pkg/mixelot_2.0_amd64.deb")));
    QVERIFY2(result.ok, qPrintable(result.error));
    QVERIFY(result.path.endsWith("/updates/mixelot_2.0_amd64.deb"));
    QFile file(result.path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), world.package);
    QCOMPARE(world.files(), QStringList{"mixelot_2.0_amd64.deb"});
    QVERIFY(!(file.permissions() & (QFileDevice::ExeOwner | QFileDevice::ExeOther)));
  }

  void anythingButTheSignedPackageOverHttpsIsRefusedAndRemoved() {
    World world;
    QByteArray flipped = world.package;
    flipped[100] = static_cast<char>(flipped[100] ^ 0x01);
    world.https.route("/flipped.deb", {200, flipped});
    world.https.route("/good.deb", {200, world.package});
    world.https.route("/longer.deb", {200, world.package + "extra"});
    world.https.route("/truncated.deb", {200, world.package.left(5000), world.package.size()});
    world.https.route("/missing.deb", {404, "no"});
    world.https.route("/to-http.deb", {302, {}, -1, world.http.url("/good.deb").toLatin1()});
    world.http.route("/good.deb", {200, world.package});

    AppcastItem wrongLength = world.item(world.https.url("/good.deb"));
    wrongLength.enclosureLength += 1;
    AppcastItem badSignature = world.item(world.https.url("/good.deb"));
    badSignature.edSignature = world.signer.sign("something else");
    AppcastItem unsigned_ = world.item(world.https.url("/good.deb"));
    unsigned_.edSignature.clear();
    const std::pair<const char*, AppcastItem> cases[] = {
        {"flipped byte", world.item(world.https.url("/flipped.deb"))},
        {"wrong length", wrongLength},
        {"longer than announced", world.item(world.https.url("/longer.deb"))},
        {"truncated body", world.item(world.https.url("/truncated.deb"))},
        {"HTTP error", world.item(world.https.url("/missing.deb"))},
        {"plain HTTP", world.item(world.http.url("/good.deb"))},
        {"redirect to plain HTTP", world.item(world.https.url("/to-http.deb"))},
        {"signature of other data", badSignature},
        {"no signature", unsigned_},
    };
    for (const auto& [name, item] : cases) {
      auto result = world.run(item);
      QVERIFY2(!result.ok && result.path.isEmpty() && !result.error.isEmpty(), name);
      QVERIFY2(world.files().isEmpty(), name);
    }
    // The plain-HTTP package was never even asked for.
    QCOMPARE(world.http.requests(), 0);
  }

  void fileNamesFromTheFeedCannotLeaveTheCacheFolder() {
    QCOMPARE(UpdateDownloader::fileNameFor(QUrl("https://h/a/..%2F..%2Fetc%2Fx.deb")),
             QStringLiteral("x.deb"));
    QCOMPARE(UpdateDownloader::fileNameFor(QUrl("https://h/.hidden")), QStringLiteral("hidden"));
    QCOMPARE(UpdateDownloader::fileNameFor(QUrl("https://h/")), QStringLiteral("update.deb"));
  }
};

QTEST_GUILESS_MAIN(UpdateDownloaderTest)
#include "UpdateDownloaderTest.moc"
