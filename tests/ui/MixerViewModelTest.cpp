#include "ui/MixerViewModel.h"

#include <QSignalSpy>
#include <QtTest>
#include <cmath>

#include "AppWorld.h"
#include "engine/AppTapState.h"
#include "engine/PlaythroughEngine.h"
#include "model/PerAppAudioManager.h"

using namespace mixelot;

class MixerViewModelTest : public QObject {
  Q_OBJECT

  struct Launched {
    testsupport::AppWorld world;
    std::unique_ptr<AppDelegate> delegate;
    MixerViewModel* mixer = nullptr;
    explicit Launched(bool withApps = true) {
      if (withApps) world.play(100, "org.example.Player", "Player");
      delegate = world.launch();
      mixer = delegate->mixerViewModel();
    }
  };

 private slots:
  void cleanup() { softwareVolume.store(1.0f); }

  void aRefreshThatFindsNothingNewNotifiesNobody() {
    Launched app;
    QSignalSpy apps(app.mixer, &MixerViewModel::appsChanged);
    QSignalSpy state(app.mixer, &MixerViewModel::stateChanged);
    for (int i = 0; i < 3; ++i) app.mixer->refresh();
    QCOMPARE(apps.count(), 1);
    QCOMPARE(state.count(), 1);
  }

  void theRefreshTimerRunsOnlyWhileStartedAndNeverTwice() {
    Launched app;
    int muteCallbacks = 0;
    app.mixer->onMuteStateChanged = [&] { ++muteCallbacks; };
    size_t timersBefore = app.world.queue.pendingTimers();
    app.mixer->startRefreshing();
    app.mixer->startRefreshing();
    QCOMPARE(app.world.queue.pendingTimers(), timersBefore + 1);

    // A change made behind the model's back shows up at the next tick.
    app.mixer->perAppAudioManager().toggleMute("org.example.Player");
    QVERIFY(!app.mixer->apps().front().isMuted);
    app.world.queue.advance(Seconds(2.0));
    QVERIFY(app.mixer->apps().front().isMuted);
    QCOMPARE(muteCallbacks, 1);  // all apps muted now

    app.mixer->stopRefreshTimer();
    app.mixer->perAppAudioManager().toggleMute("org.example.Player");
    app.world.queue.advance(Seconds(4.0));
    QVERIFY(app.mixer->apps().front().isMuted);
  }

  void theSystemVolumeUsesTheDeviceOrTheSoftwareGainAndIsClamped() {
    Launched app;
    app.mixer->refresh();
    QCOMPARE(app.mixer->systemVolume(), 0.8f);
    app.mixer->setSystemVolume(0.3f);
    QCOMPARE(app.world.sim.property(app.world.speakers,
                                    {hal::selector::kVolumeScalar, hal::scope::kOutput, 0}),
             std::optional<hal::PropertyValue>(0.3f));
    QCOMPARE(softwareVolume.load(), 1.0f);
    app.mixer->setSystemVolume(1.5f);
    QCOMPARE(app.mixer->systemVolume(), 1.0f);

    // Headphones have neither volume nor mute: the software gain stands in.
    app.world.sim.setDefaultOutputDevice(app.world.headphones);
    app.world.queue.runUntilIdle();
    QVERIFY(!app.mixer->deviceSupportsVolume());
    app.mixer->setSystemVolume(1.7f);
    QCOMPARE(softwareVolume.load(), 1.0f);
    app.mixer->setSystemVolume(std::nanf(""));
    QCOMPARE(app.mixer->systemVolume(), 0.0f);
    app.mixer->setSystemVolume(0.0005f);
    app.mixer->refresh();
    QVERIFY(app.mixer->systemMuted());
    // A mute toggle with no mute control flips the flag until the next refresh derives it.
    app.mixer->setSystemVolume(0.5f);
    app.mixer->refresh();
    app.mixer->toggleSystemMute();
    QVERIFY(app.mixer->systemMuted());
    app.mixer->refresh();
    QVERIFY(!app.mixer->systemMuted());
  }

  void muteAllAnswersWhetherAnythingChanged() {
    Launched app(/*withApps=*/false);
    const hal::PropertyAddress mute{hal::selector::kMute, hal::scope::kOutput};
    app.world.sim.setProperty(app.world.speakers, mute, uint32_t{1});
    app.world.sim.clearEvents();
    QVERIFY(!app.mixer->muteAll());
    QVERIFY(app.world.sim.events().empty());
    app.world.sim.setProperty(app.world.speakers, mute, uint32_t{0});
    QVERIFY(app.mixer->muteAll());
  }

  void levelsAreSampledTwentyTimesASecondOnlyWhileOn() {
    Launched app;
    const QString player = QStringLiteral("org.example.Player");
    auto chain = app.delegate->playthroughEngine()->chain(player.toStdString(), "speakers");
    QVERIFY(chain);
    auto play = [&](float amplitude) {
      std::vector<float> in(512), out(512);
      for (size_t i = 0; i < in.size(); ++i) in[i] = i % 2 ? amplitude : -amplitude;
      hal::AudioBuffer input{2, 2048, in.data()}, output{2, 2048, out.data()};
      app.world.sim.runIOCycle(chain->aggregateDeviceID, {&input, 1}, {&output, 1});
    };
    QSignalSpy sampled(app.mixer, &MixerViewModel::levelsSampled);
    app.mixer->setLevelSampling(true);
    app.mixer->setLevelSampling(true);
    play(0.5f);
    app.world.queue.advance(Seconds(0.05));
    QCOMPARE(sampled.count(), 1);
    QCOMPARE(app.mixer->appLevel(player), 0.5f);
    QCOMPARE(app.mixer->deviceLevel(player, QStringLiteral("speakers")), 0.5f);
    app.world.queue.advance(Seconds(0.05));  // nothing played meanwhile
    QCOMPARE(sampled.count(), 2);
    QCOMPARE(app.mixer->appLevel(player), 0.0f);

    play(0.5f);
    app.mixer->setLevelSampling(false);
    QCOMPARE(app.mixer->appLevel(player), 0.0f);
    app.world.queue.advance(Seconds(1.0));
    QCOMPARE(sampled.count(), 3);  // the one that announced the levels' end
    QVERIFY(!chain->isMetering.load());
  }

  void hidingAnAppTwiceStoresItOnce() {
    Launched app;
    app.mixer->hideApp(QStringLiteral("org.example.Player"));
    app.mixer->hideApp(QStringLiteral("org.example.Player"));
    QCOMPARE(app.world.preferences.stringArray("hiddenApps"),
             (std::optional<std::vector<std::string>>{{"org.example.Player"}}));
  }
};

QTEST_GUILESS_MAIN(MixerViewModelTest)
#include "MixerViewModelTest.moc"
