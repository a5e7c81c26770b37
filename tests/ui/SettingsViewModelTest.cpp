#include "ui/SettingsViewModel.h"

#include <QSignalSpy>
#include <QtTest>

#include "SettingsWorld.h"

using namespace mixelot;

class SettingsViewModelTest : public QObject {
  Q_OBJECT

  using World = testsupport::SettingsWorld;

 private slots:
  void aFreshStoreLoadsTheDefaultsAndBadVolumesReadAsFull() {
    World world;
    SettingsViewModel fresh(world.devices, world.store, world.loginItem, world.workspace);
    QCOMPARE(fresh.defaultVolume(), 1.0f);
    QVERIFY(fresh.launchAtLogin());
    QVERIFY(fresh.hiddenApps().isEmpty());
    QCOMPARE(fresh.selectedOutputDeviceID(), QStringLiteral("default"));

    world.store.set(prefs::kDefaultVolume, -0.5);
    world.store.set(prefs::kHiddenApps, std::string("not a list"));
    SettingsViewModel odd(world.devices, world.store, world.loginItem, world.workspace);
    QCOMPARE(odd.defaultVolume(), 1.0f);
    QVERIFY(odd.hiddenApps().isEmpty());
  }

  void settingAnUnchangedValueNotifiesNobody() {
    World world;
    SettingsViewModel model(world.devices, world.store, world.loginItem, world.workspace);
    QSignalSpy volume(&model, &SettingsViewModel::defaultVolumeChanged);
    model.setDefaultVolume(1.0f);
    QCOMPARE(volume.count(), 0);
    model.setDefaultVolume(0.4f);
    QCOMPARE(volume.count(), 1);
    QCOMPARE(world.store.floatValue(prefs::kDefaultVolume), 0.4f);
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

  void aSliderAtAQuarterShowsTheTruncatedPercentAndStoresTheValue() {
    World world;
    SettingsViewModel model(world.devices, world.store, world.loginItem, world.workspace);
    model.setProperty("defaultVolume", 0.255);
    QCOMPARE(model.defaultVolumePercent(), 25);
    QCOMPARE(world.store.floatValue(prefs::kDefaultVolume), 0.255f);
  }

  void hiddenAppsAreNamedByTheRunningAppThenTheInstalledEntryThenTheirId() {
    World world;
    world.store.set(prefs::kHiddenApps, std::vector<std::string>{"org.running", "org.installed"});
    world.workspace.applications.push_back(
        {.pid = 10, .bundleIdentifier = "org.running", .localizedName = "Running Player"});
    world.workspace.installed = {{"org.running", "Installed Player"},
                                 {"org.installed", "Installed Editor"}};
    SettingsViewModel model(world.devices, world.store, world.loginItem, world.workspace);
    auto names = [&] {
      QStringList out;
      for (const QVariant& row : model.hiddenAppRows())
        out << row.toMap()[QStringLiteral("displayName")].toString();
      return out;
    };
    QCOMPARE(names(), (QStringList{"Running Player", "Installed Editor"}));

    // Hidden from the panel and the login item changed while the window was away: both show.
    world.store.set(prefs::kHiddenApps,
                    std::vector<std::string>{"org.running", "org.installed", "org.gone"});
    world.loginItem.current = LoginItem::Status::kNotRegistered;
    QSignalSpy changed(&model, &SettingsViewModel::hiddenAppsChanged);
    model.windowShown();
    QCOMPARE(names(), (QStringList{"Running Player", "Installed Editor", "org.gone"}));
    QVERIFY(!model.launchAtLogin());
    model.windowShown();
    QCOMPARE(changed.count(), 1);
  }
};

QTEST_GUILESS_MAIN(SettingsViewModelTest)
#include "SettingsViewModelTest.moc"
