#include "app/PanelWindow.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPalette>
#include <QQmlEngine>
#include <QQuickItem>
#include <QScreen>
#include <algorithm>
#include <cmath>

#include "app/PanelPlacement.h"
#include "platform/SystemLog.h"

namespace mixelot {

PanelWindow::PanelWindow(QQmlEngine& engine, const QUrl& view, QObject* viewModel)
    : QQuickView(&engine, nullptr) {
  placesItself_ = !QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
  setTitle(QString::fromUtf8(kTitle));
  if (placesItself_) setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  // Behind the view only while it lays itself out; the view paints its own background.
  setColor(QGuiApplication::palette().color(QPalette::Window));
  setResizeMode(QQuickView::SizeRootObjectToView);
  setInitialProperties({{QStringLiteral("viewModel"), QVariant::fromValue(viewModel)}});
  setSource(view);
  if (status() == QQuickView::Error) {
    for (const auto& error : errors()) logLine("Panel view: " + error.toString().toStdString());
  }
  if (QQuickItem* root = rootObject()) {
    connect(root, &QQuickItem::implicitHeightChanged, this, &PanelWindow::fitContent);
    if (root->metaObject()->indexOfSignal("closeRequested()") >= 0)
      connect(root, SIGNAL(closeRequested()), this, SLOT(hidePanel()));
  }
  connect(this, &QWindow::activeChanged, this, &PanelWindow::onActiveChanged);
  fitContent();
  // The native window exists from now on, so the first opening only maps it.
  create();
}

PanelWindow::~PanelWindow() = default;

void PanelWindow::fitContent() {
  const QQuickItem* root = rootObject();
  int height = root ? static_cast<int>(std::ceil(root->implicitHeight())) : 0;
  if (const QScreen* target = screen())
    height = std::min(height, target->availableGeometry().height());
  height = std::max(height, 1);
  // The panel is not for resizing: its size is its content's.
  setMinimumSize({kWidth, height});
  setMaximumSize({kWidth, height});
  resize(kWidth, height);
  // Opened above a bottom bar, it grows upwards and stays at the icon.
  if (isVisible()) place();
}

void PanelWindow::place() {
  if (!placesItself_ || anchor_.isNull()) return;
  QScreen* target = QGuiApplication::screenAt(anchor_.center());
  if (!target) target = QGuiApplication::primaryScreen();
  if (!target) return;
  if (screen() != target) setScreen(target);
  setPosition(panelPosition(anchor_, size(), target->availableGeometry()));
}

void PanelWindow::open(const QRect& anchor) {
  anchor_ = anchor;
  fitContent();
  place();
  show();
  raise();
  requestActivate();
  emit opened();
}

void PanelWindow::hidePanel() {
  if (!isVisible()) return;
  hide();
  emit closed();
}

bool PanelWindow::closedByFocusLossJustNow() const {
  return sinceFocusLossClose_.isValid() && sinceFocusLossClose_.elapsed() < kReopenGuardMs;
}

void PanelWindow::onActiveChanged() {
  // Only a panel that had the focus loses it; one the window manager never focused stays until
  // it is closed another way.
  if (isActive() || !isVisible()) return;
  sinceFocusLossClose_.start();
  hidePanel();
}

void PanelWindow::keyPressEvent(QKeyEvent* event) {
  QQuickView::keyPressEvent(event);
  // Escape closes the panel unless something inside (an open menu) used it.
  if (event->key() == Qt::Key_Escape && !event->isAccepted()) hidePanel();
}

bool PanelWindow::event(QEvent* event) {
  // Closed by the window manager (a title bar's close button on Wayland): hide, keep the view.
  if (event->type() == QEvent::Close) {
    event->ignore();
    hidePanel();
    return true;
  }
  return QQuickView::event(event);
}

}  // namespace mixelot
