#include "ui/SettingsViewModel.h"

#include <QSignalSpy>
#include <QtTest>

#include "SettingsWorld.h"

using namespace mixelot;

class SettingsViewModelTest : public QObject {
  Q_OBJECT

  using World = testsupport::SettingsWorld;

 private slots:
  void badStoredValuesReadAsTheDefaults() {
    World world;
    world.store.set(prefs::kDefaultVolume, -0.5);
    world.store.set(prefs::kHiddenApps, std::string("not a list"));
    SettingsViewModel model(world.devices, world.store, world.loginItem, world.workspace);
    QCOMPARE(model.defaultVolume(), 1.0f);
    QVERIFY(model.hiddenApps().isEmpty());
  }

  void aFailedLoginItemChangeShowsAndStoresTheStateInForce() {
    World world;
    world.loginItem.current = LoginItem::Status::kEnabled;
    world.loginItem.failChanges = true;
    SettingsViewModel model(world.devices, world.store, world.loginItem, world.workspace);
    model.setLaunchAtLogin(false);
    QVERIFY(model.launchAtLogin());
    QCOMPARE(world.store.boolValue(prefs::kLaunchAtLogin), true);

    world.loginItem.failChanges = false;
    model.setLaunchAtLogin(false);
    QVERIFY(!model.launchAtLogin());
    QCOMPARE(world.store.boolValue(prefs::kLaunchAtLogin), false);
    QCOMPARE(world.loginItem.current, LoginItem::Status::kNotRegistered);
  }

  void unhidingRemovesEveryCopyAndKeepsWhatTheStoreGainedMeanwhile() {
    World world;
    world.store.set(prefs::kHiddenApps, std::vector<std::string>{"a", "b", "a"});
    SettingsViewModel model(world.devices, world.store, world.loginItem, world.workspace);
    // Hidden from the panel after the settings model loaded its list.
    world.store.set(prefs::kHiddenApps, std::vector<std::string>{"a", "b", "a", "c"});
    QSignalSpy changed(&model, &SettingsViewModel::hiddenAppsChanged);
    model.unhideApp(QStringLiteral("a"));
    QCOMPARE(model.hiddenApps(), (QStringList{"b", "c"}));
    QCOMPARE(world.store.stringArray(prefs::kHiddenApps),
             (std::optional<std::vector<std::string>>{{"b", "c"}}));
    model.unhideApp(QStringLiteral("zzz"));
    QCOMPARE(changed.count(), 2);
  }

  void hiddenAppsAreNamedByTheRunningAppThenTheInstalledEntryThenTheirId() {
    World world;
    world.store.set(prefs::kHiddenApps,
                    std::vector<std::string>{"org.running", "org.installed", "org.gone"});
    world.workspace.applications.push_back(
        {.pid = 10, .bundleIdentifier = "org.running", .localizedName = "Running Player"});
    world.workspace.installed = {{"org.running", "Installed Player"},
                                 {"org.installed", "Installed Editor"}};
    SettingsViewModel model(world.devices, world.store, world.loginItem, world.workspace);
    QStringList names;
    for (const QVariant& row : model.hiddenAppRows())
      names << row.toMap()[QStringLiteral("displayName")].toString();
    QCOMPARE(names, (QStringList{"Running Player", "Installed Editor", "org.gone"}));

    // The login item changed while the window was away: it shows when the window does.
    world.loginItem.current = LoginItem::Status::kNotRegistered;
    model.windowShown();
    QVERIFY(!model.launchAtLogin());
  }
};

QTEST_GUILESS_MAIN(SettingsViewModelTest)
#include "SettingsViewModelTest.moc"
