#pragma once

#include <QQuickView>

#include "ui/OnboardingViewModel.h"

class QQmlEngine;

namespace mixelot {

class MainQueue;
class PreferencesStore;

// The first-run window: a frameless dark card, 520 x 420, centred, above other windows, moved by
// dragging its background. It lives from its showing until onboarding completes.
class OnboardingWindow final : public QQuickView {
  Q_OBJECT

 public:
  static constexpr int kWidth = 520;
  static constexpr int kHeight = 420;

  OnboardingWindow(QQmlEngine& engine, MainQueue& queue, PreferencesStore& preferences);

  OnboardingViewModel& viewModel() { return *viewModel_; }
  // Centres the window, shows it, gives it the keyboard and starts the welcome reveal.
  void open();

 private:
  // A child, so that it outlives the view, whose bindings read it until the view is gone.
  OnboardingViewModel* viewModel_;
};

}  // namespace mixelot
