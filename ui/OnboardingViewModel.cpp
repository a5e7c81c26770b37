#include "ui/OnboardingViewModel.h"

#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"

namespace mixelot {

// The delays of each screen's staged reveal; the view pairs each flag with its curve.
const OnboardingViewModel::Step OnboardingViewModel::kWelcomeReveal[] = {
    {0.0, &OnboardingViewModel::appeared_},        {0.2, &OnboardingViewModel::iconLanded_},
    {0.5, &OnboardingViewModel::titleVisible_},    {0.7, &OnboardingViewModel::bullet1Visible_},
    {0.85, &OnboardingViewModel::bullet2Visible_}, {1.0, &OnboardingViewModel::bullet3Visible_},
    {1.2, &OnboardingViewModel::buttonVisible_},   {1.3, &OnboardingViewModel::glowPulse_},
};

const OnboardingViewModel::Step OnboardingViewModel::kSecondReveal[] = {
    {0.5, &OnboardingViewModel::circleDrawn_},    {0.9, &OnboardingViewModel::checkmarkDrawn_},
    {1.2, &OnboardingViewModel::glowSwinging_},   {1.3, &OnboardingViewModel::headlineVisible_},
    {1.5, &OnboardingViewModel::subtextVisible_}, {1.7, &OnboardingViewModel::previewVisible_},
    {2.1, &OnboardingViewModel::button2Visible_}, {2.3, &OnboardingViewModel::shimmering_},
};

OnboardingViewModel::OnboardingViewModel(MainQueue& queue, PreferencesStore& store, QObject* parent)
    : QObject(parent), queue_(queue), store_(store) {}

template <size_t N>
void OnboardingViewModel::run(const Step (&steps)[N]) {
  for (const Step& step : steps) {
    bool OnboardingViewModel::*flag = step.flag;
    steps_.push_back(queue_.schedule(Seconds(step.delay), false, [this, flag] {
      if (this->*flag) return;
      this->*flag = true;
      emit revealChanged();
    }));
  }
}

void OnboardingViewModel::start() {
  if (started_) return;
  started_ = true;
  run(kWelcomeReveal);
}

void OnboardingViewModel::getStarted() {
  if (currentScreen_ != 0) return;
  store_.set(prefs::kOnboardingShown, true);
  currentScreen_ = 1;
  emit currentScreenChanged();
  run(kSecondReveal);
}

void OnboardingViewModel::startUsing() {
  if (onComplete) onComplete();
}

}  // namespace mixelot
