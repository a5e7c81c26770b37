#include "app/TrayShell.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <algorithm>

#include "app/AppDelegate.h"
#include "app/PanelWindow.h"
#include "app/StatusItem.h"
#include "platform/SystemLog.h"
#include "ui/MixerViewModel.h"

namespace mixelot {

TrayShell::TrayShell(QQmlEngine& engine, QUrl mixerView, QObject* parent)
    : QObject(parent), engine_(engine), mixerView_(std::move(mixerView)) {
  // A tray program lives on with no window open (closing the settings must not end it).
  QGuiApplication::setQuitOnLastWindowClosed(false);
  // The windows go before the view models they show, which the delegate ends after the loop.
  connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] {
    panel_.reset();
    statusItem_.reset();
  });
}

TrayShell::~TrayShell() = default;

void TrayShell::install(InterfaceHooks& hooks) {
  hooks.setupStatusItem = [this] { setupStatusItem(); };
  hooks.setupPopover = [this] { setupPopover(); };
  hooks.updateStatusIcon = [this] { updateStatusIcon(); };
  hooks.togglePanel = [this] { return togglePanel(); };
}

void TrayShell::attach(AppDelegate& delegate) {
  delegate_ = &delegate;
}

void TrayShell::setupStatusItem() {
  // GNOME without its indicator extension has no tray at all; launching the program again (from
  // the desktop's launcher) opens the panel there.
  if (!QSystemTrayIcon::isSystemTrayAvailable())
    logLine("No system tray on this desktop; start Mixelot again to open the mixer");
  statusItem_ = std::make_unique<StatusItem>();
  connect(statusItem_.get(), &StatusItem::clicked, this, [this] { delegate_->togglePopover(); });
  connect(statusItem_.get(), &StatusItem::muteAllRequested, this,
          [this] { delegate_->toggleMuteAll(); });
  connect(statusItem_.get(), &StatusItem::openMixerRequested, this, [this] {
    if (!panel_ || !panel_->isOpen()) delegate_->togglePopover();
  });
  connect(statusItem_.get(), &StatusItem::settingsRequested, this,
          [this] { delegate_->mixerViewModel()->openSettings(); });
  connect(statusItem_.get(), &StatusItem::quitRequested, this, &TrayShell::quit);
  connect(statusItem_.get(), &StatusItem::scrolled, this, &TrayShell::changeSystemVolume);
  // The tooltip and the icon's waves follow the output device and its volume.
  const MixerViewModel* model = delegate_->mixerViewModel();
  connect(model, &MixerViewModel::systemVolumeChanged, this, &TrayShell::updateStatusIcon);
  connect(model, &MixerViewModel::outputDeviceNameChanged, this, &TrayShell::updateStatusIcon);
  // With the panel closed nothing refreshes the mute state; the menu's label needs it now.
  connect(statusItem_.get(), &StatusItem::menuAboutToShow, this, [this] {
    delegate_->mixerViewModel()->refresh();
    updateStatusIcon();
  });
  updateStatusIcon();
}

void TrayShell::setupPopover() {
  MixerViewModel* model = delegate_->mixerViewModel();
  model->onQuit = [this] { quit(); };
  panel_ = std::make_unique<PanelWindow>(engine_, mixerView_, model);
  // However the panel leaves the screen (toggle, focus loss, Escape), the polling stops.
  connect(panel_.get(), &PanelWindow::closed, this, [this, model] {
    model->stopRefreshTimer();
    updateStatusIcon();
  });
  connect(panel_.get(), &PanelWindow::opened, this, &TrayShell::panelShown);
}

void TrayShell::updateStatusIcon() {
  if (!statusItem_ || !delegate_) return;
  const MixerViewModel* model = delegate_->mixerViewModel();
  statusItem_->setMuted(model->systemMuted() || model->allMuted(), model->systemMuted());
  statusItem_->setOutput(model->outputDeviceName(), model->systemVolume());
}

void TrayShell::changeSystemVolume(int steps) {
  MixerViewModel* model = delegate_->mixerViewModel();
  // With the panel closed the model's copy may be old; the step goes from the device's volume.
  model->refresh();
  const float volume = model->systemVolume() + float(steps) * kScrollStep;
  model->setSystemVolume(std::clamp(volume, 0.0f, 1.0f));
  updateStatusIcon();
}

bool TrayShell::togglePanel() {
  if (!panel_) return false;
  if (panel_->isOpen()) {
    panel_->hidePanel();
    return false;
  }
  if (panel_->closedByFocusLossJustNow()) return false;
  panel_->open(statusItem_ ? statusItem_->anchor() : QRect(QCursor::pos(), QSize(1, 1)));
  return true;
}

void TrayShell::quit() {
  // As the application's terminate: the loop ends, aboutToQuit tears the audio work down.
  QCoreApplication::quit();
}

}  // namespace mixelot
