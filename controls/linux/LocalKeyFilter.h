#pragma once

#include <QObject>

namespace mixelot::controls {

class HotkeyManager;

// The local monitor's eyes: key presses that reach our own windows, handed to the hotkey manager
// as stored key codes and modifier flags. Install it on the application object.
class LocalKeyFilter final : public QObject {
  Q_OBJECT

 public:
  explicit LocalKeyFilter(HotkeyManager& manager, QObject* parent = nullptr);

  // A key event's stored modifier flags: shift, control, option (Alt), command (Super), the
  // keypad, and caps lock when the platform reports it.
  static std::int64_t modifierFlags(Qt::KeyboardModifiers modifiers, quint32 nativeModifiers);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  HotkeyManager& manager_;
};

}  // namespace mixelot::controls
