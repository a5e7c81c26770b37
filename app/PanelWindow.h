#pragma once

#include <QElapsedTimer>
#include <QQuickView>
#include <QRect>
#include <QUrl>

class QQmlEngine;

namespace mixelot {

// The mixer panel's window, a popover of the tray icon: frameless, 320 wide, as tall as its
// content, at the icon. It behaves like a popover: it takes the keyboard when it opens and goes
// away when it loses focus or on Escape. Where windows cannot place themselves (Wayland) it is a
// plain small window instead.
//
// The view is loaded once, when the window is made (at launch), so opening it is only a show.
// Hiding never destroys it.
class PanelWindow final : public QQuickView {
  Q_OBJECT

 public:
  static constexpr int kWidth = 320;
  static constexpr const char* kTitle = "Mixelot";
  // A click on the tray icon while the panel is open first takes the focus from the panel, which
  // closes it, and then arrives as a click: within this time of such a close it means "close".
  static constexpr int kReopenGuardMs = 400;

  // `view`: a root Item with a `viewModel` property and a `closeRequested()` signal.
  PanelWindow(QQmlEngine& engine, const QUrl& view, QObject* viewModel);
  ~PanelWindow() override;

  // Shows the panel beside `anchor` (the tray icon) and gives it the keyboard.
  void open(const QRect& anchor);
  bool isOpen() const { return isVisible(); }
  // Whether the panel closed itself on losing focus a moment ago (see kReopenGuardMs).
  bool closedByFocusLossJustNow() const;
  // Whether the window places itself (false on Wayland).
  bool placesItself() const { return placesItself_; }

 public slots:
  void hidePanel();

 signals:
  // The panel came on screen / left it, whatever the reason.
  void opened();
  void closed();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void fitContent();
  void place();
  void onActiveChanged();

  bool placesItself_ = true;
  QRect anchor_;
  QElapsedTimer sinceFocusLossClose_;
};

}  // namespace mixelot
