// The introduction's two screens and their reveals, in virtual time.
#include <QtTest>

#include "SettingsWorld.h"
#include "ui/OnboardingViewModel.h"

using namespace mixelot;

class OnboardingViewModelTest : public QObject {
  Q_OBJECT

  using World = testsupport::SettingsWorld;

 private slots:
  void getStartedMidRevealSwitchesAndStoresAtOnceAndStartUsingCompletesPerPress() {
    World world;
    int completions = 0;
    {
      OnboardingViewModel model(world.queue, world.store);
      model.onComplete = [&] { ++completions; };
      model.start();
      world.queue.advance(Seconds(0.6));
      QVERIFY(model.titleVisible() && !model.bullet1Visible());
      QVERIFY(!world.store.boolValue(prefs::kOnboardingShown));
      model.getStarted();
      QCOMPARE(model.currentScreen(), 1);
      QVERIFY(world.store.boolValue(prefs::kOnboardingShown));
      world.queue.advance(Seconds(1.5));
      QVERIFY(model.headlineVisible() && !model.button2Visible());
      model.startUsing();
      model.startUsing();
      QCOMPARE(completions, 2);
    }
    // A model closed mid reveal leaves no step behind to call it.
    world.queue.advance(Seconds(5));
    QCOMPARE(world.queue.pendingTimers(), size_t{0});
  }
};

QTEST_GUILESS_MAIN(OnboardingViewModelTest)
#include "OnboardingViewModelTest.moc"
