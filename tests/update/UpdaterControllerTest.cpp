// The update component against local HTTP and HTTPS servers: the feed, the signed download, and
// the controller that checks daily or by hand.
#include "update/UpdaterController.h"

#include <openssl/evp.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <optional>

#include "platform/ManualMainQueue.h"
#include "platform/PreferencesStore.h"
#include "support/TempFolder.h"
#include "update/Appcast.h"
#include "update/UpdateDownloader.h"
#include "update/UpdatePreferences.h"
#include "update/UpdateUrl.h"
#include "update/UpdateUserDriver.h"
#include "update/UpdateWindow.h"
#include "update/VersionComparison.h"
#include "update/WidgetUserDriver.h"

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
    int dripMs = 0;     // send the body one byte per this many milliseconds
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
    if (response.dripMs > 0) {
      socket->write(head + "\r\n");
      auto* timer = new QTimer(socket);
      connect(timer, &QTimer::timeout, socket,
              [socket, body = response.body, sent = qsizetype(0)]() mutable {
                if (sent < body.size()) socket->write(body.mid(sent++, 1));
              });
      timer->start(response.dripMs);
      return;
    }
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
    if (downloaded && beforeInstall) beforeInstall();
    reply(downloaded ? onDownloaded : onOffer);
  }
  void showDownloadFailed(const QString& message) override { failures.append(message); }
  void showDownloadProgress(qint64 received, qint64 total, std::function<void()> cancel) override {
    progress.push_back({received, total});
    if (cancelDownloads && received > 0) cancel();
  }
  void hideDownloadProgress() override { ++progressHidden; }
  bool openWithPackageInstaller(const QString& path) override {
    opened.append(path);
    return true;
  }
  void showPackageLocation(const QString& path, bool) override { locations.append(path); }

  Choice onOffer = Choice::remindLater;
  Choice onDownloaded = Choice::remindLater;
  std::function<void()> beforeInstall;
  bool cancelDownloads = false;
  std::vector<std::pair<qint64, qint64>> progress;  // received, total
  int progressHidden = 0;
  QStringList upToDate, checkFailures, failures, opened, locations;
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
    QByteArray package = deb("mixelot", "2.0");
    QNetworkAccessManager network;
    UpdateDownloader downloader{network,
                                QString::fromStdString(folder.path()) + "/updates",
                                signer.publicKey(),
                                QStringLiteral("1.4"),
                                std::chrono::milliseconds(20000),
                                {LocalHttpServer::certificate()}};
    // The wall clock the daily check reads: virtual time, plus time spent suspended.
    double suspended = 0;

    // A Debian package as dpkg-deb builds it, with some incompressible filler.
    static QByteArray deb(const QString& name, const QString& version) {
      QTemporaryDir root;
      QDir(root.path()).mkpath("pkg/DEBIAN");
      QDir(root.path()).mkpath("pkg/usr/share/mixelot");
      QFile::setPermissions(root.filePath("pkg/DEBIAN"), QFile::Permissions(0x7755));
      QFile control(root.filePath("pkg/DEBIAN/control"));
      control.open(QIODevice::WriteOnly);
      control.write(QStringLiteral("Package: %1\nVersion: %2\nArchitecture: all\nMaintainer: T "
                                   "<t@example.com>\nDescription: test\n")
                        .arg(name, version)
                        .toUtf8());
      control.close();
      QFile filler(root.filePath("pkg/usr/share/mixelot/filler"));
      filler.open(QIODevice::WriteOnly);
      for (quint32 i = 0, x = 1; i < 5000; ++i)
        filler.write(QByteArray::number(x = x * 1103515245 + 12345));
      filler.close();
      QProcess dpkg;
      dpkg.start("dpkg-deb", {"--root-owner-group", "-Znone", "--build", root.filePath("pkg"),
                              root.filePath("out.deb")});
      dpkg.waitForFinished();
      QFile out(root.filePath("out.deb"));
      return out.open(QIODevice::ReadOnly) ? out.readAll() : QByteArray();
    }

    UpdaterSettings settings(std::optional<QString> feed = {}) {
      return {.feedUrl = feed ? feed : http.url("/feed.xml"),
              .bundleName = QStringLiteral("Mixelot"),
              .bundleVersion = QStringLiteral("1.4"),
              .publicKey = signer.publicKey(),
              .cacheFolder = QString::fromStdString(folder.path()) + "/cache",
              .transferTimeout = std::chrono::milliseconds(3000),
              .checkDeadline = std::chrono::milliseconds(2000),
              .extraCaCertificates = {LocalHttpServer::certificate()},
              .userDriver = &driver,
              .wallClock = [this] { return 1.8e9 + suspended + queue.elapsed().count(); }};
    }
    std::unique_ptr<UpdaterController> make(UpdaterSettings s) {
      auto controller = std::make_unique<UpdaterController>(preferences, queue, std::move(s));
      queue.runUntilIdle();
      return controller;
    }
    QByteArray feed(const QString& version, const QByteArray& signedPackage = {}) {
      const QByteArray& p = signedPackage.isEmpty() ? package : signedPackage;
      return QStringLiteral(
                 "<rss version=\"2.0\" xmlns:sparkle=\"%1\"><channel><item id=\"x\">"
                 "<sparkle:version>%2</sparkle:version><enclosure url=\"%3\" length=\"%4\" "
                 "sparkle:edSignature=\"%5\"/></item></channel></rss>")
          .arg(QLatin1String(Appcast::kNamespace), version, https.url("/mixelot.deb"))
          .arg(p.size())
          .arg(QString::fromLatin1(signer.sign(p)))
          .toUtf8();
    }
    void offer(const QString& version) {
      QByteArray p = version == u"2.0" ? package : deb("mixelot", version);
      https.route("/mixelot.deb", {200, p});
      http.route("/feed.xml", {200, feed(version, p)});
    }
    // Checks by hand, or lets the daily check come due `after` from now, and waits for the answer.
    bool check(UpdaterController& controller, std::optional<Seconds> after = {}) {
      after ? queue.advance(*after) : controller.checkForUpdates();
      return QTest::qWaitFor([&] { return controller.canCheckForUpdates(); }, 30000);
    }

    AppcastItem item(const QString& url, const QByteArray& signedPackage = {}) {
      const QByteArray& p = signedPackage.isEmpty() ? package : signedPackage;
      return {.version = QStringLiteral("2.0"),
              .enclosureUrl = QUrl(url),
              .enclosureLength = p.size(),
              .edSignature = signer.sign(p)};
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
    QByteArray document = file.readAll();
    std::vector<AppcastItem> items = Appcast::parse(document).value();
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

    // A document type (where entities are declared) is refused outright; the item count and each
    // field's length are capped.
    QVERIFY(!Appcast::parse(QByteArray(document).replace(
        "<rss", "<!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;\">]><rss")));
    const QByteArray item =
        "<item><sparkle:version>1</sparkle:version><enclosure url=\"https://h/\"/></item>";
    QCOMPARE(Appcast::parse(QByteArray(document).replace("<item", item.repeated(1000) + "<item"))
                 ->size(),
             Appcast::kMaxItems);
    QCOMPARE(
        Appcast::parse(QByteArray(document).replace("1.2</", QByteArray(2000, '1') + "</"))->size(),
        size_t{1});
    AppcastItem shown{.shortVersion = QString(200, u'9')};
    QCOMPARE(shown.displayVersion().size(), 64);
  }

  void feedAndServerTextIsShownAsPlainText() {
    // A file that the text names, watched for anyone opening it.
    testsupport::TempFolder probe;
    const QString local = QString::fromStdString(probe / "x");
    QFile(local).open(QIODevice::WriteOnly);
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(watch, probe.path().c_str(), IN_OPEN | IN_ACCESS);
    const QString markup =
        QStringLiteral("<b>2.0</b><img src=\"%1\"><a href=\"file:///\">x</a>").arg(local);

    // The window's labels and the message boxes read no markup.
    AppcastItem item{.version = "2.0", .shortVersion = markup};
    UpdateWindow window(item, "1.4", false, [](Choice) {});
    std::unique_ptr<QMessageBox> box(
        WidgetUserDriver::messageBox(QMessageBox::Warning, "", markup));
    QList<QLabel*> labels = window.findChildren<QLabel*>() + box->findChildren<QLabel*>();
    QVERIFY(labels.size() > 4);
    for (QLabel* label : labels) {
      QCOMPARE(label->textFormat(), Qt::PlainText);
      QVERIFY(!label->openExternalLinks());
    }
    // The notes' conversion loads nothing they name: no image, no style sheet.
    QString notes = UpdateWindow::plainReleaseNotes(
        QStringLiteral("<head><link rel=\"stylesheet\" href=\"%1\"></head><p "
                       "style=\"background-image: url(%1)\">N</p>")
            .arg(local) +
        markup);
    QVERIFY2(notes.startsWith(u'N'), qPrintable(notes));
    char events[4096];
    QCOMPARE(::read(watch, events, sizeof events), -1);
    ::close(watch);
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

    const QByteArray older = World::deb("mixelot", "1.3"), other = World::deb("other", "2.0"),
                     current = World::deb("mixelot", "1.4");
    world.https.route("/older.deb", {200, older});
    world.https.route("/other.deb", {200, other});
    world.https.route("/current.deb", {200, current});

    const AppcastItem good = world.item(world.https.url("/good.deb"));
    AppcastItem wrongLength = good, badSignature = good, unsigned_ = good,
                notNewer = world.item(world.https.url("/current.deb"), current);
    notNewer.version = "1.4";
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
        {"an older release replayed", world.item(world.https.url("/older.deb"), older)},
        {"another package", world.item(world.https.url("/other.deb"), other)},
        {"not newer than this one", notNewer},
    };
    for (const auto& [name, item] : cases) {
      auto result = world.run(item);
      QVERIFY2(!result.ok && result.path.isEmpty() && !result.error.isEmpty(), name);
      QVERIFY2(world.files().isEmpty(), name);
    }
    // The plain-HTTP package was never even asked for, nor one too large to be ours.
    QCOMPARE(world.http.requests(), 0);
    AppcastItem huge = good;
    huge.enclosureLength = 4'000'000'000;
    const int asked = world.https.requests();
    QVERIFY(!world.run(huge).ok);
    QCOMPARE(world.https.requests(), asked);
  }

  void theCacheFolderIsOursAlone() {
    World world;
    world.https.route("/mixelot_2.0_amd64.deb", {200, world.package});
    const QString folder = QString::fromStdString(world.folder / "updates");
    const QString victim = QString::fromStdString(world.folder / "victim");
    QFile file(victim);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("precious") == 8);
    file.close();
    // A folder open to everyone, with a planted link where the download is written.
    QVERIFY(QDir().mkpath(folder));
    QFile::setPermissions(folder, QFile::Permissions(0x7777));
    QVERIFY(QFile::link(victim, folder + "/mixelot_2.0_amd64.deb.part"));
    auto result = world.run(world.item(world.https.url("/mixelot_2.0_amd64.deb")));
    QVERIFY2(result.ok, qPrintable(result.error));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("precious"));
    QCOMPARE(QFileInfo(folder).permissions() & QFile::Permissions(0x0077), QFile::Permissions());

    // A folder that is a link to elsewhere is not used.
    QDir(folder).removeRecursively();
    QVERIFY(QDir().mkpath(folder + "-elsewhere"));
    QVERIFY(QFile::link(folder + "-elsewhere", folder));
    QVERIFY(!world.run(world.item(world.https.url("/mixelot_2.0_amd64.deb"))).ok);
    QVERIFY(QDir(folder + "-elsewhere").isEmpty());
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
        {"reset after the headers", {200, feed.left(40), feed.size()}, false},
        {"over 4 MiB", {200, feed + QByteArray(5 << 20, ' ')}, false},
        {"redirect to a file", {302, {}, -1, "file:///etc/hostname"}, false},
        {"document type", {200, QByteArray(feed).replace("<rss", "<!DOCTYPE rss><rss")}, false},
        {"slow drip", {.body = feed, .dripMs = 300}, false},
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

    // A feed over plain HTTP (but on this machine, in this test build) or in a file is never
    // asked for; the release build allows HTTPS only.
    world.driver.checkFailures.clear();
    for (const char* feed : {"http://192.0.2.1/feed.xml", "file:///etc/hostname"}) {
      world.make(world.settings(QString::fromLatin1(feed)))->checkForUpdates();
      QVERIFY2(world.driver.checkFailures.size() == 1 && world.driver.upToDate.isEmpty(), feed);
      world.driver.checkFailures.clear();
    }
    QVERIFY(isSecureUpdateUrl(QUrl("https://h/f"), false));
    QVERIFY(!isSecureUpdateUrl(QUrl("http://127.0.0.1:80/f"), false));
    QVERIFY(isSecureUpdateUrl(QUrl("http://127.0.0.1:80/f"), true));
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

  void theDailyCheckFollowsTheWallClockAndRetriesAFailureSooner() {
    World world;
    world.preferences.set(prefs::kAutomaticallyUpdate, false);
    world.http.route("/feed.xml", {200, world.feed("1.3")});
    auto controller = world.make(world.settings());
    QVERIFY(world.check(*controller, UpdaterController::kFirstCheckDelay));
    QCOMPARE(world.http.requests(), 1);
    // A day passes mostly suspended: the next check follows within minutes of waking up.
    world.suspended = UpdaterController::kCheckInterval.count();
    QVERIFY(world.check(*controller, UpdaterController::kPollInterval));
    QCOMPARE(world.http.requests(), 2);
    // A failed check is tried again within the hour, not a day later.
    world.http.route("/feed.xml", {500, {}});
    world.suspended *= 2;
    QVERIFY(world.check(*controller, UpdaterController::kPollInterval));
    QCOMPARE(world.http.requests(), 3);
    QVERIFY(world.check(*controller, Seconds(3600)));
    QCOMPARE(world.http.requests(), 4);
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
    // Where it is, always: an opener that started says nothing of an installer that showed up.
    QCOMPARE(world.driver.locations, world.driver.opened);
    QVERIFY(!UpdaterSettings::forThisBuild().cacheFolder.contains("/."));

    // By hand, with automatic downloads off: the download follows the user's choice, and a
    // package that fails its check is reported.
    controller->setAutomaticallyDownloadsUpdates(false);
    world.driver.onOffer = Choice::download;
    world.https.route("/mixelot.deb", {200, world.package.toUpper()});
    QVERIFY(world.check(*controller));
    QCOMPARE(world.driver.failures.size(), 1);
    QVERIFY(world.driver.failures[0].contains("signature"));
    QCOMPARE(world.driver.opened.size(), 1);

    // A package swapped after its check is found out just before it is handed over.
    world.https.route("/mixelot.deb", {200, world.package});
    world.driver.onDownloaded = Choice::install;
    world.driver.beforeInstall = [&] {
      QFile file(world.driver.opened[0]);
      QVERIFY(file.open(QIODevice::ReadWrite));
      file.write("#");
    };
    QVERIFY(world.check(*controller));
    QCOMPARE(world.driver.opened.size(), 1);
    QCOMPARE(world.driver.failures.size(), 2);

    // Downloads asked for show their progress, to the end, and can be cancelled: nothing is kept
    // or offered then.
    const auto whole = std::pair<qint64, qint64>(world.package.size(), world.package.size());
    QCOMPARE(world.driver.progress.back(), whole);
    QCOMPARE(world.driver.progressHidden, 2);
    world.driver.cancelDownloads = true;
    const size_t offers = world.driver.offers.size();
    QVERIFY(world.check(*controller));
    QCOMPARE(world.driver.offers.size(), offers + 1);  // the offer, not the downloaded one
    QCOMPARE(world.driver.progressHidden, 3);
    QCOMPARE(world.driver.failures.size(), 2);
    QVERIFY(!QFile::exists(world.driver.opened[0] + ".part"));
  }

  void leftoversAreRemovedAtStart() {
    World world;
    const QString cache = QString::fromStdString(world.folder / "cache");
    QDir().mkpath(cache);
    auto put = [&](const QString& name, const QByteArray& bytes) {
      QFile file(cache + u'/' + name);
      QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    };
    put("mixelot.deb.part", world.package);
    put("mixelot_1.4.deb", World::deb("mixelot", "1.4"));
    put("mixelot_2.0.deb", world.package);
    put("notes.txt", "x");
    auto controller = world.make(world.settings());
    QCOMPARE(QDir(cache).entryList(QDir::Files), QStringList{"mixelot_2.0.deb"});
  }
};

QTEST_MAIN(UpdaterControllerTest)
#include "UpdaterControllerTest.moc"
