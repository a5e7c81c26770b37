#pragma once

#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSystemTrayIcon>
#include <memory>

namespace mixelot {

class StatusNotifierItem;

// The speaker icon in the tray: our own StatusNotifierItem where the desktop runs a watcher, Qt's
// XEmbed icon otherwise. It only reports what the user did; the delegate decides what that means.
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
  // Lower output volumes show fewer waves (at most a third, two thirds of full).
  static constexpr const char* kLowSymbol = "speaker.fill";
  static constexpr const char* kLowThemeName = "audio-volume-low";
  static constexpr const char* kMediumSymbol = "speaker.wave.1.fill";
  static constexpr const char* kMediumThemeName = "audio-volume-medium";

  explicit StatusItem(QObject* parent = nullptr);
  ~StatusItem() override;

  // The icon and its title for the mute state; `outputMuted` names the menu's mute action,
  // which restores when the output is muted and mutes everything otherwise.
  void setMuted(bool muted, bool outputMuted);
  // The default output device and its volume (0…1), for the tooltip and the icon's waves;
  // `volume` < 0 when the device has no volume of its own.
  void setOutput(const QString& deviceName, float volume);
  bool isMuted() const { return muted_; }
  QString title() const;
  QString toolTipText() const;
  QIcon icon() const { return icon_; }
  const QMenu& menu() const { return menu_; }
  // Whether it is our StatusNotifierItem (false: Qt's XEmbed icon).
  bool isStatusNotifierItem() const { return sni_ != nullptr; }

  // Where the icon is on screen: the XEmbed icon's geometry, or where the host last said it was
  // clicked; without either, the pointer's position, which is on the icon at the moment it is
  // clicked.
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
  // The wheel on the icon, whole notches (up positive).
  void scrolled(int steps);

 private:
  void onActivated(QSystemTrayIcon::ActivationReason reason);
  void updateIcon();

  QMenu menu_;
  QAction* muteAction_ = nullptr;
  std::unique_ptr<StatusNotifierItem> sni_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  QIcon icon_;
  QString iconName_;
  QPoint clickedAt_;
  QString deviceName_;
  float volume_ = -1;
  bool muted_ = false;
};

}  // namespace mixelot
