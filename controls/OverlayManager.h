#pragma once

#include <memory>
#include <string>

#include "controls/OverlayPresenter.h"
#include "platform/MainQueue.h"

namespace mixelot::controls {

// A short message near the bottom of the screen ("All Muted", "Restored"): faded in, kept for
// 1.5 s from the show, faded out, closed. A new message replaces the one on screen at once and
// starts the wait again. Main thread only.
class OverlayManager {
 public:
  static constexpr Seconds kFadeInDuration{0.15};
  static constexpr Seconds kDisplayDuration{1.5};
  static constexpr Seconds kFadeOutDuration{0.3};

  OverlayManager(OverlayPresenter& presenter, MainQueue& queue);
  ~OverlayManager();
  OverlayManager(const OverlayManager&) = delete;
  OverlayManager& operator=(const OverlayManager&) = delete;

  void show(const std::string& message);
  // Fades the overlay on screen out and closes it; run by the dismiss timer.
  void dismiss();

  bool isShowing() const { return overlayWindow_ != nullptr; }

 private:
  void fadeOut();
  void closeNow();
  void closeWindow();

  OverlayPresenter& presenter_;
  MainQueue& queue_;
  std::unique_ptr<OverlaySurface> overlayWindow_;
  Timer dismissTimer_;
  // The end of a fade-out. Cancelled when a new overlay replaces the fading one, so a fade-out
  // only ever closes the overlay it faded.
  Timer fadeOutTimer_;
};

}  // namespace mixelot::controls
