#pragma once

#include <QQuickView>

class QQmlEngine;

namespace mixelot {

class AboutInfo;
class SettingsViewModel;

// The settings window: titled "mixelot Settings", 450 x 520, neither resizable nor minimisable.
// Made once, at the first opening; closing only hides it, and each opening shows it again.
class SettingsWindow final : public QQuickView {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "mixelot Settings";
  static constexpr int kWidth = 450;
  static constexpr int kHeight = 520;

  // `updater`: the update controller (automaticallyDownloadsUpdates, canCheckForUpdates,
  // checkForUpdates()).
  SettingsWindow(QQmlEngine& engine, SettingsViewModel& settings, QObject* updater);
  ~SettingsWindow() override;

  // Shows the window (centred at its first opening) and gives it the keyboard.
  void open();

 private:
  SettingsViewModel& settings_;
  AboutInfo* about_;
  bool placed_ = false;
};

}  // namespace mixelot
