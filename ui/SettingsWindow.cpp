#include "ui/SettingsWindow.h"

#include <QGuiApplication>
#include <QScreen>

#include "platform/SystemLog.h"
#include "ui/AboutInfo.h"
#include "ui/QmlUrls.h"
#include "ui/SettingsViewModel.h"

namespace mixelot {

SettingsWindow::SettingsWindow(QQmlEngine& engine, SettingsViewModel& settings, QObject* updater)
    : QQuickView(&engine, nullptr), settings_(settings), about_(new AboutInfo(this)) {
  setTitle(QString::fromUtf8(kTitle));
  setFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setMinimumSize({kWidth, kHeight});
  setMaximumSize({kWidth, kHeight});
  resize(kWidth, kHeight);
  setResizeMode(QQuickView::SizeRootObjectToView);
  setInitialProperties({{QStringLiteral("settings"), QVariant::fromValue<QObject*>(&settings)},
                        {QStringLiteral("updater"), QVariant::fromValue(updater)},
                        {QStringLiteral("about"), QVariant::fromValue<QObject*>(about_)}});
  setSource(qml::kSettingsView);
  if (status() == QQuickView::Error) {
    for (const auto& error : errors()) logLine("Settings view: " + error.toString().toStdString());
  }
  // Leaving the screen (the close button) or the keyboard ends any recording: no key may be
  // taken for a shortcut in a window the user no longer sees or types into (the panel's keys
  // would go to the recorder, and the shortcuts stay off while it waits).
  connect(this, &QWindow::visibleChanged, this, [this](bool visible) {
    if (!visible) settings_.stopRecording();
  });
  connect(this, &QWindow::activeChanged, this, [this] {
    if (!isActive()) settings_.stopRecording();
  });
}

SettingsWindow::~SettingsWindow() = default;

void SettingsWindow::open() {
  settings_.windowShown();
  if (!placed_) {
    placed_ = true;
    if (const QScreen* target = QGuiApplication::primaryScreen()) {
      QRect area = target->availableGeometry();
      setPosition(area.center() - QPoint(kWidth / 2, kHeight / 2));
    }
  }
  // A window that is mapped anew comes up on top; one already shown may be behind others.
  if (isVisible()) raise();
  show();
  requestActivate();
}

}  // namespace mixelot
