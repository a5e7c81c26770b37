#pragma once

#include <QObject>

namespace mixelot {

// Process-wide notifications between windows and the delegate, which know nothing of each other.
// "MixelotHotkeyChanged": the shortcut preferences changed (posted by the settings window, read
// by whoever registers the global shortcuts).
class AppEvents final : public QObject {
  Q_OBJECT
  // Whether a shortcut recorder of the settings window waits for a key. The global shortcuts are
  // suspended meanwhile, so that pressing the current shortcut records it instead of firing it.
  Q_PROPERTY(bool shortcutRecording READ shortcutRecording NOTIFY shortcutRecordingChanged)

 public:
  static AppEvents& instance();

  void postHotkeyChanged() { emit hotkeyChanged(); }

  bool shortcutRecording() const { return shortcutRecording_; }
  void setShortcutRecording(bool recording) {
    if (recording == shortcutRecording_) return;
    shortcutRecording_ = recording;
    emit shortcutRecordingChanged(recording);
  }

 signals:
  void hotkeyChanged();
  void shortcutRecordingChanged(bool recording);

 private:
  AppEvents() = default;
  bool shortcutRecording_ = false;
};

}  // namespace mixelot
