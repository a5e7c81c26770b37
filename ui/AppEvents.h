#pragma once

#include <QObject>

namespace mixelot {

// Process-wide notifications between windows and the delegate, which know nothing of each other.
// "MixelotHotkeyChanged": the shortcut preferences changed (posted by the settings window, read
// by whoever registers the global shortcuts).
class AppEvents final : public QObject {
  Q_OBJECT

 public:
  static AppEvents& instance();

  void postHotkeyChanged() { emit hotkeyChanged(); }

 signals:
  void hotkeyChanged();

 private:
  AppEvents() = default;
};

}  // namespace mixelot
