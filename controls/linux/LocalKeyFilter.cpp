#include "controls/linux/LocalKeyFilter.h"

#include <QKeyEvent>

#include "controls/HotkeyManager.h"
#include "controls/KeyCodeTable.h"

namespace mixelot::controls {

namespace {
// Caps Lock's bit in the native modifier state of X11 and of XKB on Wayland alike.
constexpr quint32 kNativeLockMask = 0x2;
}  // namespace

LocalKeyFilter::LocalKeyFilter(HotkeyManager& manager, QObject* parent)
    : QObject(parent), manager_(manager) {}

std::int64_t LocalKeyFilter::modifierFlags(Qt::KeyboardModifiers modifiers,
                                           quint32 nativeModifiers) {
  std::int64_t flags = 0;
  if (modifiers & Qt::ShiftModifier) flags |= kModifierShift;
  if (modifiers & Qt::ControlModifier) flags |= kModifierControl;
  if (modifiers & Qt::AltModifier) flags |= kModifierOption;
  if (modifiers & Qt::MetaModifier) flags |= kModifierCommand;
  if (modifiers & Qt::KeypadModifier) flags |= kModifierNumericPad;
  if (nativeModifiers & kNativeLockMask) flags |= kModifierCapsLock;
  return flags;
}

bool LocalKeyFilter::eventFilter(QObject* watched, QEvent* event) {
  // A window hands a key event on to its items through the application again; the window's
  // own delivery is the one to look at, so each press counts once.
  if (event->type() != QEvent::KeyPress || !watched->isWindowType()) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  auto keyCode = keyCodeFromX11Keycode(static_cast<int>(key->nativeScanCode()));
  if (!keyCode) return false;
  return manager_.handleLocalKeyDown(
      *keyCode, modifierFlags(key->modifiers(), key->nativeModifiers()), key->isAutoRepeat());
}

}  // namespace mixelot::controls
