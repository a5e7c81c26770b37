#pragma once

#include <QObject>
#include <memory>

class QQmlEngine;

namespace mixelot {

class AppDelegate;
class MainQueue;
class OnboardingWindow;
class PreferencesStore;
class SettingsWindow;
struct InterfaceHooks;

// The settings and first-run windows of the delegate: fills the interface hooks showSettings,
// showOnboarding and closeOnboarding.
//
//   AppWindows windows(engine, queue, preferences);
//   windows.install(hooks);       // before the delegate is made with the hooks
//   windows.attach(delegate);     // before the launch runs them
//
// The windows go when the program quits, before the delegate and its view models.
class AppWindows final : public QObject {
  Q_OBJECT

 public:
  AppWindows(QQmlEngine& engine, MainQueue& queue, PreferencesStore& preferences,
             QObject* parent = nullptr);
  ~AppWindows() override;

  void install(InterfaceHooks& hooks);
  void attach(AppDelegate& delegate);

  SettingsWindow* settingsWindow() const { return settingsWindow_.get(); }
  OnboardingWindow* onboardingWindow() const { return onboardingWindow_.get(); }

 private:
  void showSettings();
  void showOnboarding();
  void closeOnboarding();
  void closeAll();

  QQmlEngine& engine_;
  MainQueue& queue_;
  PreferencesStore& preferences_;
  AppDelegate* delegate_ = nullptr;
  std::unique_ptr<SettingsWindow> settingsWindow_;
  std::unique_ptr<OnboardingWindow> onboardingWindow_;
};

}  // namespace mixelot
