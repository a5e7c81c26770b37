#pragma once

#include <QMenu>
#include <QObject>
#include <QRect>
#include <QSystemTrayIcon>

namespace mixelot {

// The speaker icon in the tray: a StatusNotifierItem where the desktop runs a watcher, an XEmbed
// icon otherwise. It only reports what the user did; the delegate decides what that means.
//
// Linux trays differ in what they offer: some pass clicks on (left, middle), some show only the
// menu (GNOME's indicator extension), so every action of the icon is in the menu as well.
class StatusItem final : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kSymbol = "speaker.wave.2.fill";
  static constexpr const char* kMutedSymbol = "speaker.slash.fill";
  static constexpr const char* kTitle = "Mixelot";
  static constexpr const char* kMutedTitle = "Mixelot (Muted)";
  // The names the desktop's own icon theme draws, so the icon matches the tray around it; our
  // bundled symbol is sent along and drawn wherever the theme lacks the name.
  static constexpr const char* kThemeName = "audio-volume-high";
  static constexpr const char* kMutedThemeName = "audio-volume-muted";

  explicit StatusItem(QObject* parent = nullptr);
  ~StatusItem() override;

  // The icon and its title for the mute state; `outputMuted` names the menu's mute action,
  // which restores when the output is muted and mutes everything otherwise.
  void setMuted(bool muted, bool outputMuted);
  bool isMuted() const { return muted_; }
  QString title() const;
  QIcon icon() const { return tray_.icon(); }
  const QMenu& menu() const { return menu_; }

  // Where the icon is on screen. A StatusNotifierItem does not learn it, so then it is the
  // pointer's position, which is on the icon at the moment it is clicked.
  QRect anchor() const;

 signals:
  // Left click (statusItemClicked).
  void clicked();
  void muteAllRequested();
  void openMixerRequested();
  void settingsRequested();
  void quitRequested();
  // The menu is about to open: a moment to bring the mute action's label up to date.
  void menuAboutToShow();

 private:
  void onActivated(QSystemTrayIcon::ActivationReason reason);

  QMenu menu_;
  QAction* muteAction_ = nullptr;
  QSystemTrayIcon tray_;
  bool muted_ = false;
};

}  // namespace mixelot
