// Renders the panel in each of its states, light and dark, to PNG files for review:
//   mixelot-screenshots <folder>
// The real QML on the program over the simulated audio layer, drawn offscreen.
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPalette>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>
#include <memory>

#include "app/AppDelegate.h"
#include "ui/OnboardingWindow.h"
#include "ui/QmlUrls.h"
#include "ui/SettingsViewModel.h"
#include "ui/SettingsWindow.h"
#include "update/UpdaterController.h"
#include "views/ViewWorld.h"

using mixelot::testsupport::ViewWorld;

namespace {

QPalette darkPalette() {
  QPalette palette;
  palette.setColor(QPalette::Window, QColor(0x23, 0x23, 0x26));
  palette.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xea));
  palette.setColor(QPalette::Base, QColor(0x3a, 0x3a, 0x3e));
  palette.setColor(QPalette::AlternateBase, QColor(0x2c, 0x2c, 0x30));
  palette.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xea));
  palette.setColor(QPalette::Button, QColor(0x33, 0x33, 0x37));
  palette.setColor(QPalette::ButtonText, QColor(0xe8, 0xe8, 0xea));
  palette.setColor(QPalette::ToolTipBase, QColor(0x33, 0x33, 0x37));
  palette.setColor(QPalette::ToolTipText, QColor(0xe8, 0xe8, 0xea));
  palette.setColor(QPalette::Highlight, QColor(0xff, 0x9f, 0x0a));
  return palette;
}

void wait(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

void playThreeApps(ViewWorld& world) {
  world.addDevice(QStringLiteral("tv"), QStringLiteral("LG TV"));
  world.play(101, QStringLiteral("org.mozilla.firefox"), QStringLiteral("Firefox"));
  world.play(102, QStringLiteral("com.spotify.Client"), QStringLiteral("Spotify"));
  world.play(103, QStringLiteral("org.gnome.Rhythmbox3"), QStringLiteral("Rhythmbox"));
  auto& model = world.model();
  model.toggleDeviceRouting(QStringLiteral("org.mozilla.firefox"), QStringLiteral("speakers"));
  model.toggleDeviceRouting(QStringLiteral("org.mozilla.firefox"), QStringLiteral("headphones"));
  model.setDeviceVolume(QStringLiteral("org.mozilla.firefox"), QStringLiteral("headphones"), 0.45f);
  model.setAppVolume(QStringLiteral("com.spotify.Client"), 0.7f);
  model.toggleAppMute(QStringLiteral("com.spotify.Client"));
  model.setAppVolume(QStringLiteral("org.gnome.Rhythmbox3"), 0.65f);
  model.refresh();
}

bool save(QQuickWindow& window, const QString& path) {
  if (!window.grabWindow().save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

// The settings window's three tabs, with shortcuts set and two hidden apps.
int settingsTabs(QQmlEngine& engine, const QString& folder, const QString& theme) {
  using namespace mixelot;
  testsupport::AppWorld world;
  world.preferences.set(prefs::kHotkeyKeyCode, 0);
  world.preferences.set(prefs::kHotkeyModifiers, 0xA0000);
  world.preferences.set(prefs::kHotkeyKeyChar, "A");
  world.preferences.set(prefs::kHiddenApps,
                        std::vector<std::string>{"org.gnome.Rhythmbox3", "org.example.Gone"});
  world.preferences.set(prefs::kDefaultVolume, 0.8f);
  world.workspace.installed = {{"org.gnome.Rhythmbox3", "Rhythmbox"}};
  AppDelegate delegate(world.services());
  delegate.installSignalHandlers = false;
  delegate.applicationDidFinishLaunching();
  SettingsWindow window(engine, *delegate.settingsViewModel(), delegate.updaterController());
  window.open();
  int written = 0;
  for (int tab : {0, 1, 2}) {
    window.rootObject()->setProperty("selectedTab", tab);
    wait(400);
    if (!save(window, folder + QStringLiteral("/settings-tab%1-%2.png").arg(tab).arg(theme)))
      return -1;
    ++written;
  }
  return written;
}

// The introduction's two screens, each after its reveal; the card has a palette of its own.
int introduction(QQmlEngine& engine, const QString& folder) {
  using namespace mixelot;
  testsupport::AppWorld world;
  OnboardingWindow window(engine, world.queue, world.preferences);
  window.open();
  world.queue.advance(Seconds(1.5));
  wait(900);
  if (!save(window, folder + QStringLiteral("/introduction-welcome.png"))) return -1;
  window.viewModel().getStarted();
  wait(500);
  world.queue.advance(Seconds(2.4));
  wait(900);
  if (!save(window, folder + QStringLiteral("/introduction-all-set.png"))) return -1;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir runtime;
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
  QGuiApplication application(argc, argv);
  const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
  QDir().mkpath(folder);

  ViewWorld world;
  QQmlEngine engine;
  engine.addImportPath(mixelot::qml::kImportPath);
  QQmlComponent component(&engine, mixelot::qml::kMixerView);
  if (!component.isReady()) {
    std::fprintf(stderr, "%s\n", qPrintable(component.errorString()));
    return 1;
  }

  struct Scene {
    const char* name;
    std::function<void(ViewWorld&)> setUp;
    bool openRoutingMenu = false;
  };
  const std::vector<Scene> scenes = {
      {"empty", [](ViewWorld&) {}},
      {"apps", playThreeApps},
      {"permission",
       [](ViewWorld& w) {
         playThreeApps(w);
         w.setPermission(QStringLiteral("denied"));
       }},
      {"routing-menu", playThreeApps, true},
  };

  int written = 0;
  for (const char* theme : {"light", "dark"}) {
    QGuiApplication::setPalette(QString::fromLatin1(theme) == QLatin1String("dark") ? darkPalette()
                                                                                    : QPalette());
    for (const auto& scene : scenes) {
      world.reset();
      scene.setUp(world);
      QQuickWindow window;
      window.setColor(QGuiApplication::palette().color(QPalette::Window));
      std::unique_ptr<QObject> object(component.createWithInitialProperties(
          {{QStringLiteral("viewModel"), QVariant::fromValue(world.mixer())}}));
      auto* view = qobject_cast<QQuickItem*>(object.get());
      view->setParentItem(window.contentItem());
      window.resize(320, static_cast<int>(view->implicitHeight()));
      window.show();
      wait(400);
      window.resize(320, static_cast<int>(view->implicitHeight()));
      if (scene.openRoutingMenu) {
        // The first row that has a routing menu (Firefox, sorted first).
        auto* list = view->findChild<QQuickItem*>(QStringLiteral("appList"));
        QQuickItem* row = nullptr;
        QMetaObject::invokeMethod(list, "itemAtIndex", Q_RETURN_ARG(QQuickItem*, row),
                                  Q_ARG(int, 0));
        auto* button = row ? row->findChild<QQuickItem*>(QStringLiteral("routeButton")) : nullptr;
        if (!button || !QMetaObject::invokeMethod(button, "clicked")) {
          std::fprintf(stderr, "no routing menu to open\n");
          return 1;
        }
      }
      wait(400);
      const QString path =
          folder +
          QStringLiteral("/%1-%2.png").arg(QLatin1String(scene.name), QLatin1String(theme));
      if (!window.grabWindow().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
      }
      std::printf("%s\n", qPrintable(path));
      ++written;
    }
    int tabs = settingsTabs(engine, folder, QString::fromLatin1(theme));
    if (tabs < 0) return 1;
    written += tabs;
  }
  int screens = introduction(engine, folder);
  if (screens < 0) return 1;
  written += screens;
  return written > 0 ? 0 : 1;
}
