#include "app/AppWindows.h"

#include <QCoreApplication>

#include "app/AppDelegate.h"
#include "ui/OnboardingWindow.h"
#include "ui/SettingsWindow.h"
#include "update/UpdaterController.h"

namespace mixelot {

AppWindows::AppWindows(QQmlEngine& engine, MainQueue& queue, PreferencesStore& preferences,
                       QObject* parent)
    : QObject(parent), engine_(engine), queue_(queue), preferences_(preferences) {
  if (auto* app = QCoreApplication::instance())
    connect(app, &QCoreApplication::aboutToQuit, this, &AppWindows::closeAll);
}

AppWindows::~AppWindows() {
  closeAll();
}

void AppWindows::install(InterfaceHooks& hooks) {
  hooks.showSettings = [this] { showSettings(); };
  hooks.showOnboarding = [this] { showOnboarding(); };
  hooks.closeOnboarding = [this] { closeOnboarding(); };
}

void AppWindows::attach(AppDelegate& delegate) {
  delegate_ = &delegate;
}

void AppWindows::showSettings() {
  if (!delegate_) return;
  if (!settingsWindow_) {
    settingsWindow_ = std::make_unique<SettingsWindow>(engine_, *delegate_->settingsViewModel(),
                                                       delegate_->updaterController());
  }
  settingsWindow_->open();
}

void AppWindows::showOnboarding() {
  if (!delegate_ || onboardingWindow_) return;
  onboardingWindow_ = std::make_unique<OnboardingWindow>(engine_, queue_, preferences_);
  AppDelegate* delegate = delegate_;
  onboardingWindow_->viewModel().onComplete = [delegate] { delegate->completeOnboarding(); };
  onboardingWindow_->open();
}

void AppWindows::closeOnboarding() {
  if (!onboardingWindow_) return;
  onboardingWindow_->close();
  // Asked from the window's own button: it goes once that press is over.
  onboardingWindow_.release()->deleteLater();
}

void AppWindows::closeAll() {
  settingsWindow_.reset();
  onboardingWindow_.reset();
}

}  // namespace mixelot
