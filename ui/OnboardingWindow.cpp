#include "ui/OnboardingWindow.h"

#include <QGuiApplication>
#include <QScreen>

#include "platform/SystemLog.h"
#include "ui/QmlUrls.h"

namespace mixelot {

namespace {
// The card's background, also the window's, so that nothing else shows before the card fades in.
const QColor kCardBackground(13, 17, 23);
}  // namespace

OnboardingWindow::OnboardingWindow(QQmlEngine& engine, MainQueue& queue,
                                   PreferencesStore& preferences)
    : QQuickView(&engine, nullptr), viewModel_(new OnboardingViewModel(queue, preferences, this)) {
  setTitle(QStringLiteral("Welcome to mixelot"));
  setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  setColor(kCardBackground);
  setMinimumSize({kWidth, kHeight});
  setMaximumSize({kWidth, kHeight});
  resize(kWidth, kHeight);
  setResizeMode(QQuickView::SizeRootObjectToView);
  setInitialProperties({{QStringLiteral("viewModel"), QVariant::fromValue<QObject*>(viewModel_)}});
  setSource(qml::kOnboardingView);
  if (status() == QQuickView::Error) {
    for (const auto& error : errors())
      logLine("Onboarding view: " + error.toString().toStdString());
  }
}

void OnboardingWindow::open() {
  if (const QScreen* target = QGuiApplication::primaryScreen())
    setPosition(target->availableGeometry().center() - QPoint(kWidth / 2, kHeight / 2));
  show();
  requestActivate();
  viewModel_->start();
}

}  // namespace mixelot
