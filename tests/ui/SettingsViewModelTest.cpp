#include "ui/SettingsViewModel.h"

#include <QSignalSpy>
#include <QtTest>

#include "app/Preferences.h"
#include "engine/AudioDeviceManager.h"
#include "engine/hal/sim/SimAudioSystem.h"
#include "platform/ManualMainQueue.h"
#include "platform/PreferencesStore.h"
#include "support/FakeLoginItem.h"
#include "support/TempFolder.h"

using namespace mixelot;

class SettingsViewModelTest : public QObject {
  Q_OBJECT

  struct World {
    testsupport::TempFolder folder;
    ManualMainQueue queue;
    hal::sim::SimAudioSystem sim{queue};
    AudioDeviceManager devices{sim};
    PreferencesStore store{folder.path(), queue};
    testsupport::FakeLoginItem loginItem;
    World() { registerDefaults(store); }
  };

 private slots:
  void aFreshStoreLoadsTheDefaultsAndBadVolumesReadAsFull() {
    World world;
    SettingsViewModel fresh(world.devices, world.store, world.loginItem);
    QCOMPARE(fresh.defaultVolume(), 1.0f);
    QVERIFY(fresh.launchAtLogin());
    QVERIFY(fresh.hiddenApps().isEmpty());
    QCOMPARE(fresh.selectedOutputDeviceID(), QStringLiteral("default"));

    world.store.set(prefs::kDefaultVolume, -0.5);
    world.store.set(prefs::kHiddenApps, std::string("not a list"));
    SettingsViewModel odd(world.devices, world.store, world.loginItem);
    QCOMPARE(odd.defaultVolume(), 1.0f);
    QVERIFY(odd.hiddenApps().isEmpty());
  }

  void settingAnUnchangedValueNotifiesNobody() {
    World world;
    SettingsViewModel model(world.devices, world.store, world.loginItem);
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
    SettingsViewModel model(world.devices, world.store, world.loginItem);
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
    SettingsViewModel model(world.devices, world.store, world.loginItem);
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
};

QTEST_GUILESS_MAIN(SettingsViewModelTest)
#include "SettingsViewModelTest.moc"
