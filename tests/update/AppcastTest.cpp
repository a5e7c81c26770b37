#include "update/Appcast.h"

#include <QtTest>

#include "update/UpdateWindow.h"
#include "update/VersionComparison.h"

using namespace mixelot;

class AppcastTest : public QObject {
  Q_OBJECT

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
};

QTEST_MAIN(AppcastTest)
#include "AppcastTest.moc"
