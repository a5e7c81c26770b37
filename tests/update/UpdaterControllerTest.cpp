#include "update/UpdaterController.h"

#include <QtTest>

#include "LocalHttpServer.h"
#include "RecordingUserDriver.h"
#include "TestSigner.h"
#include "platform/ManualMainQueue.h"
#include "platform/PreferencesStore.h"
#include "support/TempFolder.h"
#include "update/Appcast.h"
#include "update/UpdatePreferences.h"

using namespace mixelot;
using testsupport::LocalHttpServer;
using Choice = UpdateUserDriver::Choice;

const QString kUpToDate = QStringLiteral("You're up to date!|Mixelot 1.4 is the latest version.");

class UpdaterControllerTest : public QObject {
  Q_OBJECT

  struct World {
    testsupport::TempFolder folder;
    ManualMainQueue queue;
    PreferencesStore preferences{folder.path(), queue};
    testsupport::RecordingUserDriver driver;
    testsupport::TestSigner signer;
    LocalHttpServer http{false};
    LocalHttpServer https{true};
    QByteArray package = QByteArray("package").repeated(500);

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
    // Checks by hand and waits for the answer.
    bool check(UpdaterController& controller) {
      controller.checkForUpdates();
      return QTest::qWaitFor([&] { return controller.canCheckForUpdates(); }, 30000);
    }
    // Lets the daily check come due and waits for its answer.
    bool checkDaily(UpdaterController& controller, Seconds after) {
      queue.advance(after);
      return QTest::qWaitFor([&] { return controller.canCheckForUpdates(); }, 30000);
    }
  };

 private slots:
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
    QVERIFY(world.checkDaily(*controller, Seconds(1)));
    QCOMPARE(world.driver.offers.size(), size_t{1});
    QCOMPARE(world.preferences.stringValue(prefs::kSkippedVersion), "2.0");

    QVERIFY(world.checkDaily(*controller, UpdaterController::kCheckInterval));
    QCOMPARE(world.http.requests(), 2);
    QCOMPARE(world.driver.offers.size(), size_t{1});

    world.offer(QStringLiteral("2.1"));
    QVERIFY(world.checkDaily(*controller, UpdaterController::kCheckInterval));
    QCOMPARE(world.driver.offers.size(), size_t{2});
    QVERIFY(world.driver.upToDate.isEmpty());  // the daily check never says "up to date"
  }

  void updatesDownloadBeforeTheyAreOfferedForInstalling() {
    World world;
    world.offer(QStringLiteral("2.0"));
    world.driver.onDownloaded = Choice::install;
    auto controller = world.make(world.settings());
    QVERIFY(world.checkDaily(*controller, UpdaterController::kFirstCheckDelay));
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

QTEST_GUILESS_MAIN(UpdaterControllerTest)
#include "UpdaterControllerTest.moc"
