// The introduction's two screens and their reveals, in virtual time.
#include <QSignalSpy>
#include <QtTest>

#include "platform/ManualMainQueue.h"
#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"
#include "support/TempFolder.h"
#include "ui/OnboardingViewModel.h"

using namespace mixelot;

class OnboardingViewModelTest : public QObject {
  Q_OBJECT

  struct World {
    testsupport::TempFolder folder;
    ManualMainQueue queue;
    PreferencesStore store{folder.path(), queue};
    World() { registerDefaults(store); }
  };

 private slots:
  void getStartedDuringTheWelcomeRevealSwitchesAndStoresAtOnce() {
    World world;
    OnboardingViewModel model(world.queue, world.store);
    model.start();
    world.queue.advance(Seconds(0.6));
    QVERIFY(model.titleVisible());
    QVERIFY(!model.bullet1Visible());
    QVERIFY(!world.store.boolValue(prefs::kOnboardingShown));

    model.getStarted();
    QCOMPARE(model.currentScreen(), 1);
    QVERIFY(world.store.boolValue(prefs::kOnboardingShown));
    // A second press before the screens have swapped starts nothing twice.
    model.getStarted();
    world.queue.advance(Seconds(0.45));
    QCOMPARE(model.circleTrim(), 0.0);
    world.queue.advance(Seconds(0.1));
    QCOMPARE(model.circleTrim(), 1.0);
    QCOMPARE(model.glowOpacity(), OnboardingViewModel::kInitialGlowOpacity);
    world.queue.advance(Seconds(1.5));
    QVERIFY(!model.button2Visible());
    world.queue.advance(Seconds(0.1));
    QVERIFY(model.button2Visible() && model.previewVisible() && model.headlineVisible());
    QCOMPARE(model.shimmerPhase(), 0.0);
    world.queue.advance(Seconds(0.2));
    QCOMPARE(model.shimmerPhase(), 1.0);
    // The welcome steps still ran, on the hidden screen.
    QVERIFY(model.glowPulse());
    QCOMPARE(model.currentScreen(), 1);
    QCOMPARE(world.queue.pendingTimers(), size_t{0});
  }

  void startUsingCompletesOncePerPressEvenMidReveal() {
    World world;
    int completions = 0;
    {
      OnboardingViewModel model(world.queue, world.store);
      model.onComplete = [&] { ++completions; };
      model.start();
      model.getStarted();
      world.queue.advance(Seconds(1.0));
      model.startUsing();
      QCOMPARE(completions, 1);
      model.startUsing();
      QCOMPARE(completions, 2);
    }
    // A model closed early leaves no step behind to call it.
    world.queue.advance(Seconds(5));
    QCOMPARE(world.queue.pendingTimers(), size_t{0});
  }
};

QTEST_GUILESS_MAIN(OnboardingViewModelTest)
#include "OnboardingViewModelTest.moc"
