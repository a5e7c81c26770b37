#pragma once

#include <QUrl>
#include <memory>

#include "controls/GlobalShortcutService.h"
#include "controls/OverlayPresenter.h"
#include "controls/WindowActivator.h"
#include "platform/MainQueue.h"

class QQmlEngine;

namespace mixelot::controls {

// The shortcut facility of the desktop we run on: X11 key grabs on an X11 display, the portal's
// GlobalShortcuts on Wayland where the portal offers it, none otherwise (the D-Bus methods
// remain). Logs which one it picked.
std::unique_ptr<GlobalShortcutService> makeGlobalShortcutService(MainQueue& queue);

// Where overlays go: our own window on X11, a transient notification on Wayland, nowhere
// without a display.
std::unique_ptr<OverlayPresenter> makeOverlayPresenter(const QUrl& overlayView,
                                                       QQmlEngine* engine = nullptr);

// What brings an app's window to the front: _NET_ACTIVE_WINDOW on an X11 display whose window
// manager supports it; none elsewhere (a Wayland client may not raise another's window).
std::unique_ptr<WindowActivator> makeWindowActivator();

}  // namespace mixelot::controls
