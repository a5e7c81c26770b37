// The update component against local HTTP and HTTPS servers: the feed, the signed download, and
// the controller that checks daily or by hand.
#include "update/UpdaterController.h"

#include <openssl/evp.h>

#include <QDir>
#include <QNetworkAccessManager>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QtTest>
#include <optional>

#include "platform/ManualMainQueue.h"
#include "platform/PreferencesStore.h"
#include "support/TempFolder.h"
#include "update/Appcast.h"
#include "update/UpdateDownloader.h"
#include "update/UpdatePreferences.h"
#include "update/UpdateUserDriver.h"
#include "update/UpdateWindow.h"
#include "update/VersionComparison.h"

using namespace mixelot;
using Choice = UpdateUserDriver::Choice;

namespace {

// A small HTTP/1.1 server on 127.0.0.1 for the update tests, plain or over TLS with the test
// certificate: one canned response per path, one request per connection.
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

// Stands in for the update windows: records what would be shown and answers offers with a
// chosen reply.
class RecordingUserDriver final : public UpdateUserDriver {
 public:
  void showUpToDate(const QString& message, const QString& detail) override {
    upToDate.append(message + u'|' + detail);
  }
  void showCheckFailed(const QString& message, const QString& detail) override {
    checkFailures.append(message + u'|' + detail);
  }
  void showUpdateFound(const AppcastItem& item, bool downloaded,
                       std::function<void(Choice)> reply) override {
    offers.push_back({item.version, downloaded});
    reply(downloaded ? onDownloaded : onOffer);
  }
  void showDownloadFailed(const QString& message) override { failures.append(message); }
  bool openWithPackageInstaller(const QString& path) override {
    opened.append(path);
    return true;
  }

  Choice onOffer = Choice::remindLater;
  Choice onDownloaded = Choice::remindLater;
  QStringList upToDate, checkFailures, failures, opened;
  std::vector<std::pair<QString, bool>> offers;  // version, downloaded
};

// A throwaway Ed25519 key for the update tests: the public key as the program holds it and
// signatures as the feed carries them (both base64).
class TestSigner {
 public:
  TestSigner() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")) {}
  ~TestSigner() { EVP_PKEY_free(key_); }
  TestSigner(const TestSigner&) = delete;
  TestSigner& operator=(const TestSigner&) = delete;

  QByteArray publicKey() const {
    QByteArray raw(32, '\0');
    size_t size = 32;
    EVP_PKEY_get_raw_public_key(key_, reinterpret_cast<unsigned char*>(raw.data()), &size);
    return raw.toBase64();
  }

  QByteArray sign(const QByteArray& message) const {
    QByteArray signature(64, '\0');
    size_t size = 64;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_);
    EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &size,
                   reinterpret_cast<const unsigned char*>(message.constData()),
                   static_cast<size_t>(message.size()));
    EVP_MD_CTX_free(context);
    return signature.toBase64();
  }

 private:
  EVP_PKEY* key_;
};

}  // namespace

const QString kUpToDate = QStringLiteral("You're up to date!|Mixelot 1.4 is the latest version.");

class UpdaterControllerTest : public QObject {
  Q_OBJECT

  struct World {
    testsupport::TempFolder folder;
    ManualMainQueue queue;
    PreferencesStore preferences{folder.path(), queue};
    RecordingUserDriver driver;
    TestSigner signer;
    LocalHttpServer http{false};
    LocalHttpServer https{true};
    QByteArray package = QByteArray("!<arch>\ndebian-binary   ").repeated(3000);
    QNetworkAccessManager network;
    UpdateDownloader downloader{network,
                                QString::fromStdString(folder.path()) + "/updates",
                                signer.publicKey(),
                                std::chrono::milliseconds(20000),
                                {LocalHttpServer::certificate()}};

    UpdaterSettings settings(std::optional<QString> feed = {}) {
      return {.feedUrl = feed ? feed : http.url("/feed.xml"),
              .bundleName = QStringLiteral("Mixelot"),
              .bundleVersion = QStringLiteral("1.4"),
              .publicKey = signer.publicKey(),
              .cacheFolder = QString::fromStdString(folder.path()) + "/cache",
              .transferTimeout = std::chrono::milliseconds(3000),
              .extraCaCertificates = {LocalHttpServer::certificate()},
              .userDriver = &driver};
    }
    std::unique_ptr<UpdaterController> make(UpdaterSettings s) {
      auto controller = std::make_unique<UpdaterController>(preferences, queue, std::move(s));
      queue.runUntilIdle();
      return controller;
    }
    QByteArray feed(const QString& version) {
      return QStringLiteral(
                 "<rss version=\"2.0\" xmlns:sparkle=\"%1\"><channel><item id=\"x\">"
                 "<sparkle:version>%2</sparkle:version><enclosure url=\"%3\" length=\"%4\" "
                 "sparkle:edSignature=\"%5\"/></item></channel></rss>")
          .arg(QLatin1String(Appcast::kNamespace), version, https.url("/mixelot.deb"))
          .arg(package.size())
          .arg(QString::fromLatin1(signer.sign(package)))
          .toUtf8();
    }
    void offer(const QString& version) {
      https.route("/mixelot.deb", {200, package});
      http.route("/feed.xml", {200, feed(version)});
    }
    // Checks by hand, or lets the daily check come due `after` from now, and waits for the answer.
    bool check(UpdaterController& controller, std::optional<Seconds> after = {}) {
      after ? queue.advance(*after) : controller.checkForUpdates();
      return QTest::qWaitFor([&] { return controller.canCheckForUpdates(); }, 30000);
    }

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
  void versionsCompareNumericallyPartByPart() {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"1.10", "1.9", 1},      {"2.0", "2.0b1", 1},
        {"2.0b2", "2.0b1", 1},   {"2.0rc1", "2.0b9", 1},
        {"1.0.1", "1.0b1", 1},   {"1.0", "1.0.0", 0},
        {"1.2", "1.2", 0},       {"0.9", "1.0", -1},
        {"1.010", "1.9", 1},     {"99999999999999999999", "9", 1},
        {"1.0-2", "1.0-10", -1},
    };
    for (const auto& [a, b, order] : cases) {
      QVERIFY2(compareVersions(QString::fromLatin1(a), QString::fromLatin1(b)) == order, a);
      QVERIFY2(compareVersions(QString::fromLatin1(b), QString::fromLatin1(a)) == -order, b);
    }
  }

  void theFeedsItemsAreReadWithTheirEnclosures() {
    QFile file(QStringLiteral(MIXELOT_TEST_DATA "/feed.xml"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    std::vector<AppcastItem> items = Appcast::parse(file.readAll());
    QCOMPARE(items.size(), size_t{2});
    const AppcastItem& first = items[0];
    QCOMPARE(first.version, QStringLiteral("1.2"));
    QCOMPARE(first.displayVersion(), QStringLiteral("1.2 \"Maple\""));
    QCOMPARE(first.enclosureUrl, QUrl(QStringLiteral("https://example.com/mixelot_1.2_amd64.deb")));
    QCOMPARE(first.enclosureLength, 1234);
    QCOMPARE(first.edSignature, QByteArray("c2ln"));
    QCOMPARE(first.publicationDate.date(), QDate(2026, 12, 5));
    QCOMPARE(UpdateWindow::plainReleaseNotes(first.releaseNotes),
             QStringLiteral("New\nPer-device volumes."));
    // The version may sit on the enclosure; a length that is no number is unknown.
    QCOMPARE(items[1].version, QStringLiteral("1.3"));
    QCOMPARE(items[1].enclosureLength, -1);
  }

  void theNewestNewerItemIsOfferedUnlessSkipped() {
    auto item = [](const char* version) { return AppcastItem{.version = version}; };
    std::vector<AppcastItem> items = {item("1.9"), item("1.10"), item("1.2")};
    QCOMPARE(Appcast::bestUpdate(items, QStringLiteral("1.2"))->version, QStringLiteral("1.10"));
    QVERIFY(!Appcast::bestUpdate(items, QStringLiteral("1.10")));
    QVERIFY(!Appcast::bestUpdate(items, QStringLiteral("1.2"), QStringLiteral("1.10")));
    items.push_back(item("1.11"));
    QCOMPARE(Appcast::bestUpdate(items, QStringLiteral("1.2"), QStringLiteral("1.10"))->version,
             QStringLiteral("1.11"));
  }

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

    const AppcastItem good = world.item(world.https.url("/good.deb"));
    AppcastItem wrongLength = good, badSignature = good, unsigned_ = good;
    wrongLength.enclosureLength += 1;
    badSignature.edSignature = world.signer.sign("something else");
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

  void onlyAFeedWithItemsOffersAnUpdate() {
    World world;
    auto controller = world.make(world.settings());
    world.offer(QStringLiteral("2.0"));
    QVERIFY(world.check(*controller));
    QCOMPARE(world.driver.offers.size(), size_t{1});
    QVERIFY(world.driver.upToDate.isEmpty());

    // "<item " with attributes counted above; a longer tag name does not.
    QByteArray feed = world.feed("2.0");
    QByteArray items =
        QByteArray(feed).replace("<item id=\"x\">", "<items>").replace("</item>", "</items>");
    // Answers the server gave on purpose say "up to date"; a check that learnt nothing says it
    // failed.
    struct Case {
      const char* name;
      LocalHttpServer::Response response;
      bool learnt;
    } const cases[] = {
        {"items tag", {200, items}, true},
        {"304", {304, {}}, true},
        {"empty body", {200, {}}, true},
        {"invalid UTF-8", {200, feed + "\xff\xfe"}, true},
        {"only older versions", {200, world.feed("1.3")}, true},
        {"500", {500, feed}, false},
        {"no answer", {200, feed, -1, {}, true}, false},
    };
    for (const Case& c : cases) {
      world.driver.upToDate.clear();
      world.driver.checkFailures.clear();
      world.http.route("/feed.xml", c.response);
      QVERIFY2(world.check(*controller), c.name);
      QVERIFY2(world.driver.upToDate == (c.learnt ? QStringList{kUpToDate} : QStringList{}),
               c.name);
      QVERIFY2(world.driver.checkFailures.size() == (c.learnt ? 0 : 1), c.name);
    }
    QCOMPARE(world.driver.offers.size(), size_t{1});

    // Nobody listening, and no address at all.
    world.driver.upToDate.clear();
    world.driver.checkFailures.clear();
    const QString closed = QStringLiteral("http://127.0.0.1:%1/f").arg(world.http.serverPort());
    world.http.close();
    for (const QString& feed : {closed, QString()})
      QVERIFY(world.check(*world.make(world.settings(feed))));
    QVERIFY(world.driver.upToDate.isEmpty());
    QCOMPARE(world.driver.checkFailures.size(), 2);
    QVERIFY(world.driver.checkFailures[0].startsWith("Couldn't check for updates|"));
  }

  void checksCannotOverlap() {
    World world;
    world.http.route("/feed.xml", {200, {}, -1, {}, true});
    UpdaterController controller(world.preferences, world.queue, world.settings());
    QVERIFY(!controller.canCheckForUpdates());  // until the updater has started
    world.queue.runUntilIdle();
    QVERIFY(controller.canCheckForUpdates());

    controller.checkForUpdates();
    QVERIFY(!controller.canCheckForUpdates());
    controller.checkForUpdates();  // ignored while the first runs
    QVERIFY(QTest::qWaitFor([&] { return controller.canCheckForUpdates(); }, 30000));
    QCOMPARE(world.driver.checkFailures.size(), 1);
    QCOMPARE(world.http.requests(), 1);
  }

  void theAutomaticDownloadFlagIsWrittenThroughOnEveryAssignment() {
    World world;
    auto controller = world.make(world.settings());
    QVERIFY(controller->automaticallyDownloadsUpdates());  // the registered default
    world.preferences.remove(prefs::kAutomaticallyUpdate);
    controller->setAutomaticallyDownloadsUpdates(true);
    QVERIFY(world.preferences.object(prefs::kAutomaticallyUpdate).has_value());
    controller->setAutomaticallyDownloadsUpdates(false);
    QVERIFY(!world.make(world.settings())->automaticallyDownloadsUpdates());
  }

  void theDailyCheckHonoursASkippedVersionButNotALaterOne() {
    World world;
    world.preferences.set(prefs::kAutomaticallyUpdate, false);
    world.driver.onOffer = Choice::skip;
    world.offer(QStringLiteral("2.0"));
    auto controller = world.make(world.settings());
    // Not in the first minutes after start.
    world.queue.advance(UpdaterController::kFirstCheckDelay - Seconds(1));
    QCOMPARE(world.http.requests(), 0);
    QVERIFY(world.check(*controller, Seconds(1)));
    QCOMPARE(world.driver.offers.size(), size_t{1});
    QCOMPARE(world.preferences.stringValue(prefs::kSkippedVersion), "2.0");

    QVERIFY(world.check(*controller, UpdaterController::kCheckInterval));
    QCOMPARE(world.http.requests(), 2);
    QCOMPARE(world.driver.offers.size(), size_t{1});

    world.offer(QStringLiteral("2.1"));
    QVERIFY(world.check(*controller, UpdaterController::kCheckInterval));
    QCOMPARE(world.driver.offers.size(), size_t{2});
    QVERIFY(world.driver.upToDate.isEmpty());  // the daily check never says "up to date"
  }

  void updatesDownloadBeforeTheyAreOfferedForInstalling() {
    World world;
    world.offer(QStringLiteral("2.0"));
    world.driver.onDownloaded = Choice::install;
    auto controller = world.make(world.settings());
    QVERIFY(world.check(*controller, UpdaterController::kFirstCheckDelay));
    QCOMPARE(world.driver.offers.size(), size_t{1});
    QVERIFY(world.driver.offers[0].second);
    QCOMPARE(world.driver.opened,
             QStringList{QString::fromStdString(world.folder.path()) + "/cache/mixelot.deb"});

    // By hand, with automatic downloads off: the download follows the user's choice, and a
    // package that fails its check is reported.
    controller->setAutomaticallyDownloadsUpdates(false);
    world.driver.onOffer = Choice::download;
    world.https.route("/mixelot.deb", {200, world.package.toUpper()});
    QVERIFY(world.check(*controller));
    QCOMPARE(world.driver.failures.size(), 1);
    QVERIFY(world.driver.failures[0].contains("signature"));
    QCOMPARE(world.driver.opened.size(), 1);
  }
};

QTEST_MAIN(UpdaterControllerTest)
#include "UpdaterControllerTest.moc"
