#pragma once

#include <memory>
#include <string>

#include "platform/MainQueue.h"

namespace mixelot::controls {

// One overlay on screen.
class OverlaySurface {
 public:
  virtual ~OverlaySurface() = default;
  // Animates the overlay's opacity to `opacity` over `duration`. The look only: the overlay
  // manager keeps the time of every step on the main queue itself.
  virtual void fadeTo(double opacity, Seconds duration) = 0;
  // Takes the overlay off the screen at once.
  virtual void close() = 0;
};

// Puts overlays on the screen: a window of our own where a window may place itself, the
// desktop's notification service where it may not.
class OverlayPresenter {
 public:
  virtual ~OverlayPresenter() = default;
  // A new overlay showing `message`, on screen and fully transparent; nullptr when none can be
  // shown.
  virtual std::unique_ptr<OverlaySurface> present(const std::string& message) = 0;
};

}  // namespace mixelot::controls
