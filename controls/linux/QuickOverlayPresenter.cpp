#include "controls/linux/QuickOverlayPresenter.h"

#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QScreen>
#include <QSurfaceFormat>
#include <algorithm>
#include <cmath>

#include "platform/SystemLog.h"

namespace mixelot::controls {

namespace {

// Qt's X11 window-type selector (a dynamic property its xcb plugin reads when it creates the
// window): 0x800 is _NET_WM_WINDOW_TYPE_NOTIFICATION, what on-screen displays use on X11.
constexpr const char* kX11WindowTypeProperty = "_q_xcb_wm_window_type";
constexpr int kX11NotificationWindowType = 0x800;

class QuickOverlaySurface final : public OverlaySurface {
 public:
  explicit QuickOverlaySurface(std::unique_ptr<QQuickView> view) : view_(std::move(view)) {}
  ~QuickOverlaySurface() override { close(); }

  void fadeTo(double opacity, Seconds duration) override {
    if (!view_) return;
    if (!animation_) animation_ = new QPropertyAnimation(view_.get(), "opacity", view_.get());
    animation_->stop();
    animation_->setDuration(static_cast<int>(std::lround(duration.count() * 1000.0)));
    animation_->setStartValue(view_->opacity());
    animation_->setEndValue(opacity);
    animation_->start();
  }

  void close() override {
    if (!view_) return;
    view_->close();
    // Not deleted inside an event of its own.
    view_.release()->deleteLater();
  }

 private:
  std::unique_ptr<QQuickView> view_;
  QPropertyAnimation* animation_ = nullptr;
};

}  // namespace

QuickOverlayPresenter::QuickOverlayPresenter(QUrl view, QQmlEngine* engine)
    : view_(std::move(view)),
      ownEngine_(engine ? nullptr : std::make_unique<QQmlEngine>()),
      engine_(engine ? engine : ownEngine_.get()) {}

QuickOverlayPresenter::~QuickOverlayPresenter() = default;

std::unique_ptr<OverlaySurface> QuickOverlayPresenter::present(const std::string& message) {
  auto view = std::make_unique<QQuickView>(engine_, nullptr);
  view->setTitle(QString::fromLatin1(kTitle));
  // A tooltip-type window: it never counts as the program's last window, so its closing does not
  // end a program whose other windows are all closed.
  view->setFlags(Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                 Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput |
                 Qt::X11BypassWindowManagerHint);
  view->setProperty(kX11WindowTypeProperty, kX11NotificationWindowType);
  QSurfaceFormat format = view->format();
  format.setAlphaBufferSize(8);
  view->setFormat(format);
  view->setColor(Qt::transparent);
  view->setResizeMode(QQuickView::SizeRootObjectToView);
  view->setSource(view_);
  QQuickItem* root = view->rootObject();
  if (!root) {
    if (!reportedFailure_) {
      reportedFailure_ = true;
      logLine("The overlay view could not be loaded from " + view_.toString().toStdString());
    }
    return nullptr;
  }
  root->setProperty("message", QString::fromStdString(message));

  // The content's own size, at least the minimum.
  const int width = std::max(kMinimumWidth, static_cast<int>(std::ceil(root->implicitWidth())));
  const int height = std::max(kMinimumHeight, static_cast<int>(std::ceil(root->implicitHeight())));
  view->resize(width, height);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = screen->geometry();
    view->setPosition(frame.x() + (frame.width() - width) / 2,
                      frame.y() + frame.height() - kBottomMargin - height);
  }
  view->setOpacity(0.0);
  view->show();
  return std::make_unique<QuickOverlaySurface>(std::move(view));
}

}  // namespace mixelot::controls
