#include "ui/ShortcutRecorder.h"

#include <linux/input-event-codes.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <utility>

#include "controls/KeyCodeTable.h"
#include "platform/PreferencesStore.h"
#include "ui/AppEvents.h"

namespace mixelot {
namespace {

const QString kWaitingLabel = QStringLiteral("Press shortcut…");
const QString kNoShortcutLabel = QStringLiteral("None - click to set");

// Control, option or command: shift alone does not make a shortcut.
constexpr std::int64_t kRequiredModifiers =
    controls::kModifierControl | controls::kModifierOption | controls::kModifierCommand;

// Where a platform gives no keycode (the offscreen platform, synthesised events), the key's
// position on a US layout stands in for it.
constexpr std::pair<int, int> kUsLayout[] = {
    {Qt::Key_A, KEY_A},
    {Qt::Key_B, KEY_B},
    {Qt::Key_C, KEY_C},
    {Qt::Key_D, KEY_D},
    {Qt::Key_E, KEY_E},
    {Qt::Key_F, KEY_F},
    {Qt::Key_G, KEY_G},
    {Qt::Key_H, KEY_H},
    {Qt::Key_I, KEY_I},
    {Qt::Key_J, KEY_J},
    {Qt::Key_K, KEY_K},
    {Qt::Key_L, KEY_L},
    {Qt::Key_M, KEY_M},
    {Qt::Key_N, KEY_N},
    {Qt::Key_O, KEY_O},
    {Qt::Key_P, KEY_P},
    {Qt::Key_Q, KEY_Q},
    {Qt::Key_R, KEY_R},
    {Qt::Key_S, KEY_S},
    {Qt::Key_T, KEY_T},
    {Qt::Key_U, KEY_U},
    {Qt::Key_V, KEY_V},
    {Qt::Key_W, KEY_W},
    {Qt::Key_X, KEY_X},
    {Qt::Key_Y, KEY_Y},
    {Qt::Key_Z, KEY_Z},
    {Qt::Key_1, KEY_1},
    {Qt::Key_2, KEY_2},
    {Qt::Key_3, KEY_3},
    {Qt::Key_4, KEY_4},
    {Qt::Key_5, KEY_5},
    {Qt::Key_6, KEY_6},
    {Qt::Key_7, KEY_7},
    {Qt::Key_8, KEY_8},
    {Qt::Key_9, KEY_9},
    {Qt::Key_0, KEY_0},
    {Qt::Key_Minus, KEY_MINUS},
    {Qt::Key_Equal, KEY_EQUAL},
    {Qt::Key_BracketLeft, KEY_LEFTBRACE},
    {Qt::Key_BracketRight, KEY_RIGHTBRACE},
    {Qt::Key_Semicolon, KEY_SEMICOLON},
    {Qt::Key_Apostrophe, KEY_APOSTROPHE},
    {Qt::Key_QuoteLeft, KEY_GRAVE},
    {Qt::Key_Backslash, KEY_BACKSLASH},
    {Qt::Key_Comma, KEY_COMMA},
    {Qt::Key_Period, KEY_DOT},
    {Qt::Key_Slash, KEY_SLASH},
    {Qt::Key_Space, KEY_SPACE},
    {Qt::Key_Return, KEY_ENTER},
    {Qt::Key_Tab, KEY_TAB},
    {Qt::Key_Backspace, KEY_BACKSPACE},
    {Qt::Key_Escape, KEY_ESC},
    {Qt::Key_Delete, KEY_DELETE},
    {Qt::Key_Home, KEY_HOME},
    {Qt::Key_End, KEY_END},
    {Qt::Key_PageUp, KEY_PAGEUP},
    {Qt::Key_PageDown, KEY_PAGEDOWN},
    {Qt::Key_Left, KEY_LEFT},
    {Qt::Key_Right, KEY_RIGHT},
    {Qt::Key_Up, KEY_UP},
    {Qt::Key_Down, KEY_DOWN},
    {Qt::Key_F1, KEY_F1},
    {Qt::Key_F2, KEY_F2},
    {Qt::Key_F3, KEY_F3},
    {Qt::Key_F4, KEY_F4},
    {Qt::Key_F5, KEY_F5},
    {Qt::Key_F6, KEY_F6},
    {Qt::Key_F7, KEY_F7},
    {Qt::Key_F8, KEY_F8},
    {Qt::Key_F9, KEY_F9},
    {Qt::Key_F10, KEY_F10},
    {Qt::Key_F11, KEY_F11},
    {Qt::Key_F12, KEY_F12},
};

// A modifier pressed on its own is no key of a shortcut (the other platform reports these as
// flag changes, never as key presses).
bool isModifierKey(int qtKey) {
  switch (qtKey) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_unknown:
      return true;
    default:
      return false;
  }
}

std::int64_t storedModifiers(Qt::KeyboardModifiers modifiers) {
  std::int64_t bits = 0;
  if (modifiers & Qt::ShiftModifier) bits |= controls::kModifierShift;
  if (modifiers & Qt::ControlModifier) bits |= controls::kModifierControl;
  if (modifiers & Qt::AltModifier) bits |= controls::kModifierOption;
  if (modifiers & Qt::MetaModifier) bits |= controls::kModifierCommand;
  return bits;
}

// The key's character, upper-cased. Keys without a visible character (F5, Space, arrows) are
// named instead, since a label of an invisible or private-use character tells the user nothing.
QString keyCharacter(int qtKey) {
  if (qtKey > Qt::Key_Space && qtKey < Qt::Key_Escape)
    return QString::fromUcs4(QList<char32_t>{static_cast<char32_t>(qtKey)}.constData(), 1)
        .toUpper();
  return QKeySequence(qtKey).toString(QKeySequence::NativeText);
}

}  // namespace

QString shortcutText(std::int64_t modifiers, const QString& keyChar) {
  if (keyChar.isEmpty()) return {};
  QString text;
  if (modifiers & controls::kModifierControl) text += QStringLiteral("Ctrl+");
  if (modifiers & controls::kModifierOption) text += QStringLiteral("Alt+");
  if (modifiers & controls::kModifierShift) text += QStringLiteral("Shift+");
  if (modifiers & controls::kModifierCommand) text += QStringLiteral("Super+");
  return text + keyChar;
}

std::optional<std::int64_t> storedKeyCode(int qtKey, quint32 nativeScanCode) {
  if (nativeScanCode != 0) return controls::keyCodeFromX11Keycode(static_cast<int>(nativeScanCode));
  for (auto [key, evdev] : kUsLayout)
    if (key == qtKey) return controls::keyCodeFromEvdev(evdev);
  return std::nullopt;
}

ShortcutRecorder::ShortcutRecorder(PreferencesStore& store, prefs::ShortcutKeys keys,
                                   QObject* parent)
    : QObject(parent), store_(store), keys_(keys) {
  reload();
}

ShortcutRecorder::~ShortcutRecorder() {
  stopRecording();
}

QString ShortcutRecorder::shortcutText() const {
  return mixelot::shortcutText(modifiers_, keyChar_);
}

QString ShortcutRecorder::label() const {
  if (recording_) return kWaitingLabel;
  if (hasShortcut()) return shortcutText();
  return kNoShortcutLabel;
}

void ShortcutRecorder::reload() {
  std::int64_t keyCode = store_.integerValue(keys_.keyCode);
  // A mask is never negative; anything else stored there is taken as no modifiers.
  std::int64_t modifiers = std::max<std::int64_t>(store_.integerValue(keys_.modifiers), 0);
  QString keyChar = QString::fromStdString(store_.stringValue(keys_.keyChar).value_or(""));
  if (keyCode == keyCode_ && modifiers == modifiers_ && keyChar == keyChar_) return;
  keyCode_ = keyCode;
  modifiers_ = modifiers;
  keyChar_ = keyChar;
  emit shortcutChanged();
  emit labelChanged();
}

void ShortcutRecorder::toggleRecording() {
  if (recording_)
    stopRecording();
  else
    startRecording();
}

void ShortcutRecorder::startRecording() {
  setRecording(true);
}

void ShortcutRecorder::stopRecording() {
  setRecording(false);
}

void ShortcutRecorder::setRecording(bool recording) {
  if (recording == recording_) return;
  recording_ = recording;
  // The whole program's key presses, as a local key monitor sees them; none without a program.
  if (auto* app = QCoreApplication::instance()) {
    if (recording)
      app->installEventFilter(this);
    else
      app->removeEventFilter(this);
  }
  emit recordingChanged();
  emit labelChanged();
}

void ShortcutRecorder::clear() {
  setProblem({});
  setBoundDescription({});
  store(-1, 0, {});
}

void ShortcutRecorder::rejectRecording(const QString& problem) {
  if (!previous_) return;
  const Stored before = *std::exchange(previous_, std::nullopt);
  const QString rejected = shortcutText();
  store(before.keyCode, before.modifiers, before.keyChar);
  setProblem(rejected + QStringLiteral(" ") + problem);
}

void ShortcutRecorder::setProblem(const QString& problem) {
  previous_.reset();
  if (problem == problem_) return;
  problem_ = problem;
  emit problemChanged();
}

void ShortcutRecorder::setBoundDescription(const QString& description) {
  if (description == boundDescription_) return;
  boundDescription_ = description;
  emit boundDescriptionChanged();
}

void ShortcutRecorder::store(std::int64_t keyCode, std::int64_t modifiers, const QString& keyChar) {
  store_.set(keys_.keyCode, keyCode);
  store_.set(keys_.modifiers, modifiers);
  store_.set(keys_.keyChar, keyChar.toStdString());
  keyCode_ = keyCode;
  modifiers_ = modifiers;
  keyChar_ = keyChar;
  emit shortcutChanged();
  emit labelChanged();
  AppEvents::instance().postHotkeyChanged();
}

bool ShortcutRecorder::handleKeyPress(int qtKey, Qt::KeyboardModifiers modifiers,
                                      quint32 nativeScanCode) {
  if (!recording_) return false;
  std::optional<std::int64_t> keyCode = storedKeyCode(qtKey, nativeScanCode);
  if (qtKey == Qt::Key_Escape || keyCode == kEscapeKeyCode) {
    stopRecording();
    return false;
  }
  std::int64_t mask = storedModifiers(modifiers);
  if (isModifierKey(qtKey) || !(mask & kRequiredModifiers) || !keyCode) return false;
  // Stopped first, so that whoever reloads the shortcuts on the notice finds recording over.
  stopRecording();
  if (QString taken = conflict ? conflict(*keyCode, mask) : QString(); !taken.isEmpty()) {
    setProblem(mixelot::shortcutText(mask, keyCharacter(qtKey)) + QStringLiteral(" ") + taken);
    return true;
  }
  reload();  // what is stored now is what a refusal goes back to
  const Stored before{keyCode_, modifiers_, keyChar_};
  setProblem({});
  setBoundDescription({});
  previous_ = before;
  store(*keyCode, mask, keyCharacter(qtKey));
  return true;
}

bool ShortcutRecorder::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride) {
    // Claimed, so that no window shortcut (a menu's accelerator) acts on the press either.
    event->accept();
    return true;
  }
  if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  handleKeyPress(key->key(), key->modifiers(), key->nativeScanCode());
  return true;
}

}  // namespace mixelot
