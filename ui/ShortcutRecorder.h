#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/Preferences.h"

namespace mixelot {

class PreferencesStore;

// One shortcut of the settings window: its stored key code, modifier mask and character, and the
// recorder that replaces them with the next key combination pressed. While recording, every key
// press that reaches the program is taken by the recorder (no control of the window sees it).
// Every stored change is announced with AppEvents' hotkeyChanged.
class ShortcutRecorder final : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool recording READ recording NOTIFY recordingChanged)
  // A key code of 0 or more: the clear button is shown.
  Q_PROPERTY(bool isSet READ isSet NOTIFY shortcutChanged)
  // A key code and a character: the label shows the shortcut text.
  Q_PROPERTY(bool hasShortcut READ hasShortcut NOTIFY shortcutChanged)
  Q_PROPERTY(QString shortcutText READ shortcutText NOTIFY shortcutChanged)
  Q_PROPERTY(QString label READ label NOTIFY labelChanged)
  // Why the shortcut recorded last, or the one in force, does not work; empty when it does.
  Q_PROPERTY(QString problem READ problem NOTIFY problemChanged)
  // The desktop's own description of the shortcut it bound, where it says (the portal).
  Q_PROPERTY(QString boundDescription READ boundDescription NOTIFY boundDescriptionChanged)

 public:
  static constexpr std::int64_t kEscapeKeyCode = 53;

  ShortcutRecorder(PreferencesStore& store, prefs::ShortcutKeys keys, QObject* parent = nullptr);
  ~ShortcutRecorder() override;

  bool recording() const { return recording_; }
  bool isSet() const { return keyCode_ >= 0; }
  bool hasShortcut() const { return keyCode_ >= 0 && !keyChar_.isEmpty(); }
  QString shortcutText() const;
  QString label() const;
  std::int64_t keyCode() const { return keyCode_; }
  std::int64_t modifiers() const { return modifiers_; }
  QString keyChar() const { return keyChar_; }
  QString problem() const { return problem_; }
  QString boundDescription() const { return boundDescription_; }

  // Another recorder's combination: a press of it is not stored, and the problem says why.
  // Set by the owner; returns the problem text, or nothing when the combination is free.
  std::function<QString(std::int64_t keyCode, std::int64_t modifiers)> conflict;
  // Whether the stored shortcut was just recorded (and may be taken back).
  bool hasUnconfirmedRecording() const { return previous_.has_value(); }
  // The recorded shortcut cannot work: the one before it is stored again, and the problem says
  // why. The owner found out when it registered the new one.
  void rejectRecording(const QString& problem);
  // The shortcut in force works (or, with a text, why not); a recording is confirmed either way.
  void setProblem(const QString& problem);
  void setBoundDescription(const QString& description);

  // The recorder button: starts waiting for a key, or stops when it waits already.
  Q_INVOKABLE void toggleRecording();
  Q_INVOKABLE void startRecording();
  Q_INVOKABLE void stopRecording();
  // No shortcut: key code -1, modifiers 0, no character. A waiting recorder keeps waiting.
  Q_INVOKABLE void clear();
  // Reads the stored preferences again (another writer, e.g. the launch's defaults, may have
  // changed them since).
  void reload();

  // One key press while waiting: Escape stops, a key with control, option (Alt) or command
  // (Super) is stored, anything else is ignored. `nativeScanCode` is the platform's keycode
  // (X11 / xkb), 0 when the platform has none. Returns whether the press was taken.
  bool handleKeyPress(int qtKey, Qt::KeyboardModifiers modifiers, quint32 nativeScanCode);

 signals:
  void recordingChanged();
  void shortcutChanged();
  void labelChanged();
  void problemChanged();
  void boundDescriptionChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void setRecording(bool recording);
  void store(std::int64_t keyCode, std::int64_t modifiers, const QString& keyChar);

  PreferencesStore& store_;
  prefs::ShortcutKeys keys_;
  std::int64_t keyCode_ = -1;
  std::int64_t modifiers_ = 0;
  QString keyChar_;
  bool recording_ = false;
  QString problem_;
  QString boundDescription_;
  struct Stored {
    std::int64_t keyCode;
    std::int64_t modifiers;
    QString keyChar;
  };
  std::optional<Stored> previous_;
};

// The shortcut text of a stored mask and character as Linux desktops write it: "Ctrl+", "Alt+",
// "Shift+", "Super+" for the modifiers present, in that order, then the character; empty
// without a character.
QString shortcutText(std::int64_t modifiers, const QString& keyChar);

// The stored key code of a pressed key: its physical position, from the platform's keycode when
// there is one, else from the key's place on a US layout. None for a key without a stored code.
std::optional<std::int64_t> storedKeyCode(int qtKey, quint32 nativeScanCode);

}  // namespace mixelot
