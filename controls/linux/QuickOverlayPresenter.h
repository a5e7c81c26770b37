#pragma once

#include <QUrl>
#include <memory>

#include "controls/OverlayPresenter.h"

class QQmlEngine;

namespace mixelot::controls {

// The overlay as a window of our own, for X11, where a window may place itself: the QML view
// in a frameless on-screen-display window that never takes focus, lets clicks through, stays on
// top on every workspace, and sits centred 80 px above the bottom of the primary screen, at
// least 120 x 44. Main thread only.
class QuickOverlayPresenter final : public OverlayPresenter {
 public:
  static constexpr int kMinimumWidth = 120;
  static constexpr int kMinimumHeight = 44;
  static constexpr int kBottomMargin = 80;
  static constexpr const char* kTitle = "Mixelot Overlay";

  // `view`: a QML item with a string property `message`. `engine`: the program's shared engine;
  // without one the presenter keeps an engine of its own.
  explicit QuickOverlayPresenter(QUrl view, QQmlEngine* engine = nullptr);
  ~QuickOverlayPresenter() override;

  std::unique_ptr<OverlaySurface> present(const std::string& message) override;

 private:
  QUrl view_;
  std::unique_ptr<QQmlEngine> ownEngine_;
  QQmlEngine* engine_;
  bool reportedFailure_ = false;
};

}  // namespace mixelot::controls
