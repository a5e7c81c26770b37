#pragma once

#include <QObject>
#include <functional>
#include <vector>

#include "platform/MainQueue.h"

namespace mixelot {

class PreferencesStore;

// The first-run introduction: which of its two screens is shown and how far each screen's staged
// reveal has got. The reveal runs on the main queue's timers (so tests drive it in virtual time);
// the view animates each change with the curve of its step.
class OnboardingViewModel final : public QObject {
  Q_OBJECT
  Q_PROPERTY(int currentScreen READ currentScreen NOTIFY currentScreenChanged)
  // Welcome screen.
  Q_PROPERTY(bool appeared READ appeared NOTIFY revealChanged)
  Q_PROPERTY(bool iconLanded READ iconLanded NOTIFY revealChanged)
  Q_PROPERTY(bool titleVisible READ titleVisible NOTIFY revealChanged)
  Q_PROPERTY(bool bullet1Visible READ bullet1Visible NOTIFY revealChanged)
  Q_PROPERTY(bool bullet2Visible READ bullet2Visible NOTIFY revealChanged)
  Q_PROPERTY(bool bullet3Visible READ bullet3Visible NOTIFY revealChanged)
  Q_PROPERTY(bool buttonVisible READ buttonVisible NOTIFY revealChanged)
  Q_PROPERTY(bool glowPulse READ glowPulse NOTIFY revealChanged)
  // Second screen. The three numbers are the targets the view animates towards (the glow and
  // the shimmer then swing for ever).
  Q_PROPERTY(double circleTrim READ circleTrim NOTIFY revealChanged)
  Q_PROPERTY(double checkmarkTrim READ checkmarkTrim NOTIFY revealChanged)
  Q_PROPERTY(double glowOpacity READ glowOpacity NOTIFY revealChanged)
  Q_PROPERTY(bool headlineVisible READ headlineVisible NOTIFY revealChanged)
  Q_PROPERTY(bool subtextVisible READ subtextVisible NOTIFY revealChanged)
  Q_PROPERTY(bool previewVisible READ previewVisible NOTIFY revealChanged)
  Q_PROPERTY(bool button2Visible READ button2Visible NOTIFY revealChanged)
  Q_PROPERTY(double shimmerPhase READ shimmerPhase NOTIFY revealChanged)

 public:
  static constexpr double kInitialGlowOpacity = 0.3;

  OnboardingViewModel(MainQueue& queue, PreferencesStore& store, QObject* parent = nullptr);

  int currentScreen() const { return currentScreen_; }
  bool appeared() const { return appeared_; }
  bool iconLanded() const { return iconLanded_; }
  bool titleVisible() const { return titleVisible_; }
  bool bullet1Visible() const { return bullet1Visible_; }
  bool bullet2Visible() const { return bullet2Visible_; }
  bool bullet3Visible() const { return bullet3Visible_; }
  bool buttonVisible() const { return buttonVisible_; }
  bool glowPulse() const { return glowPulse_; }
  double circleTrim() const { return circleDrawn_ ? 1.0 : 0.0; }
  double checkmarkTrim() const { return checkmarkDrawn_ ? 1.0 : 0.0; }
  double glowOpacity() const { return glowSwinging_ ? 1.0 : kInitialGlowOpacity; }
  bool headlineVisible() const { return headlineVisible_; }
  bool subtextVisible() const { return subtextVisible_; }
  bool previewVisible() const { return previewVisible_; }
  bool button2Visible() const { return button2Visible_; }
  double shimmerPhase() const { return shimmering_ ? 1.0 : 0.0; }

  // The card came on screen: the welcome reveal starts (once).
  Q_INVOKABLE void start();
  // "Get Started": onboarding counts as shown from now on, whatever happens to the window; the
  // second screen comes in and its reveal starts. Only the first press counts.
  Q_INVOKABLE void getStarted();
  // "Start Using mixelot": `onComplete`, once per press.
  Q_INVOKABLE void startUsing();

  // Closes the window and forgets it (the shell's completeOnboarding).
  std::function<void()> onComplete;

 signals:
  void currentScreenChanged();
  void revealChanged();

 private:
  struct Step {
    double delay;  // seconds from the start of the reveal
    bool OnboardingViewModel::*flag;
  };
  static const Step kWelcomeReveal[];
  static const Step kSecondReveal[];
  template <size_t N>
  void run(const Step (&steps)[N]);

  MainQueue& queue_;
  PreferencesStore& store_;
  int currentScreen_ = 0;
  bool started_ = false;
  bool appeared_ = false;
  bool iconLanded_ = false;
  bool titleVisible_ = false;
  bool bullet1Visible_ = false;
  bool bullet2Visible_ = false;
  bool bullet3Visible_ = false;
  bool buttonVisible_ = false;
  bool glowPulse_ = false;
  bool circleDrawn_ = false;
  bool checkmarkDrawn_ = false;
  bool glowSwinging_ = false;
  bool headlineVisible_ = false;
  bool subtextVisible_ = false;
  bool previewVisible_ = false;
  bool button2Visible_ = false;
  bool shimmering_ = false;
  // Pending steps; cancelled with the model, so a closed window is never called back.
  std::vector<Timer> steps_;
};

}  // namespace mixelot
