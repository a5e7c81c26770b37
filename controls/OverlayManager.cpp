#include "controls/OverlayManager.h"

namespace mixelot::controls {

OverlayManager::OverlayManager(OverlayPresenter& presenter, MainQueue& queue)
    : presenter_(presenter), queue_(queue) {}

OverlayManager::~OverlayManager() {
  closeNow();
}

void OverlayManager::show(const std::string& message) {
  closeNow();
  overlayWindow_ = presenter_.present(message);
  if (!overlayWindow_) return;
  overlayWindow_->fadeTo(1.0, kFadeInDuration);
  // The timers belong to this object and die with it, so they never run after it.
  // (The timer callbacks never cancel their own timer: a one-shot is spent when it runs.)
  dismissTimer_ = queue_.schedule(kDisplayDuration, false, [this] { fadeOut(); });
}

void OverlayManager::dismiss() {
  dismissTimer_.cancel();
  fadeOut();
}

void OverlayManager::fadeOut() {
  if (!overlayWindow_ || fadeOutTimer_.isActive()) return;
  overlayWindow_->fadeTo(0.0, kFadeOutDuration);
  fadeOutTimer_ = queue_.schedule(kFadeOutDuration, false, [this] { closeWindow(); });
}

void OverlayManager::closeNow() {
  dismissTimer_.cancel();
  fadeOutTimer_.cancel();
  closeWindow();
}

void OverlayManager::closeWindow() {
  if (overlayWindow_) overlayWindow_->close();
  overlayWindow_.reset();
}

}  // namespace mixelot::controls
