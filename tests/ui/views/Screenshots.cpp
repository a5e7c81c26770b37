// Renders the panel in each of its states, the settings window's tabs and the introduction's
// screens, light and dark, to PNG files for review:
//   mixelot-screenshots <folder>
// The real QML on the program over the simulated audio layer, drawn offscreen.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPalette>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

#include "app/AppDelegate.h"
#include "controls/WindowActivator.h"
#include "ui/OnboardingWindow.h"
#include "ui/QmlUrls.h"
#include "ui/SettingsViewModel.h"
#include "ui/SettingsWindow.h"
#include "update/UpdaterController.h"
#include "views/ViewWorld.h"

using namespace mixelot;
using testsupport::ViewWorld;

namespace {

QString folder;
int written = 0, failed = 0;

QPalette darkPalette() {
  QPalette palette;
  for (auto role :
       {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::ToolTipText})
    palette.setColor(role, QColor(0xe8, 0xe8, 0xea));
  for (auto role : {QPalette::Button, QPalette::ToolTipBase})
    palette.setColor(role, QColor(0x33, 0x33, 0x37));
  palette.setColor(QPalette::Window, QColor(0x23, 0x23, 0x26));
  palette.setColor(QPalette::Base, QColor(0x3a, 0x3a, 0x3e));
  palette.setColor(QPalette::AlternateBase, QColor(0x2c, 0x2c, 0x30));
  palette.setColor(QPalette::Highlight, QColor(0xff, 0x9f, 0x0a));
  return palette;
}

void save(QQuickWindow& window, const QString& name) {
  const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
  if (!window.grabWindow().save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    ++failed;
    return;
  }
  std::printf("%s\n", qPrintable(path));
  ++written;
}

// Sample app icons of our own, so the rows show icons as they do on a desktop.
QString sampleIcon(const QString& name, const char* svg) {
  static QTemporaryDir icons;
  const QString path = icons.path() + QLatin1Char('/') + name + QStringLiteral(".svg");
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return {};
  file.write(svg);
  return path;
}

void playThreeApps(ViewWorld& world) {
  world.addDevice(QStringLiteral("tv"), QStringLiteral("LG TV"));
  world.play(101, QStringLiteral("org.mozilla.firefox"), QStringLiteral("Firefox"),
             sampleIcon(QStringLiteral("browser"),
                        R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 48 48">)"
                        R"(<circle cx="24" cy="24" r="21" fill="#ff7139"/>)"
                        R"(<circle cx="24" cy="24" r="12" fill="#592acb"/>)"
                        R"(<path d="M12 14q10-10 26 2q-8-4-14 2z" fill="#ffbd4f"/></svg>)"));
  world.play(102, QStringLiteral("com.spotify.Client"), QStringLiteral("Spotify"),
             sampleIcon(QStringLiteral("music"),
                        R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 48 48">)"
                        R"(<circle cx="24" cy="24" r="21" fill="#1ed760"/>)"
                        R"(<g fill="none" stroke="#121212" stroke-linecap="round">)"
                        R"(<path d="M12 18q13-4 25 2" stroke-width="4"/>)"
                        R"(<path d="M14 25q10-3 20 2" stroke-width="3.4"/>)"
                        R"(<path d="M15 32q8-2 16 1.5" stroke-width="2.8"/></g></svg>)"));
  world.play(103, QStringLiteral("org.gnome.Rhythmbox3"), QStringLiteral("Rhythmbox"),
             sampleIcon(QStringLiteral("player"),
                        R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 48 48">)"
                        R"(<rect x="4" y="4" width="40" height="40" rx="9" fill="#3584e4"/>)"
                        R"(<path d="M20 12v18a5 5 0 1 0 3 4.6V19l10-2v9a5 5 0 1 0 3 4.6V10z")"
                        R"( fill="#fff"/></svg>)"));
  auto& model = world.model();
  model.toggleDeviceRouting(QStringLiteral("org.mozilla.firefox"), QStringLiteral("speakers"));
  model.toggleDeviceRouting(QStringLiteral("org.mozilla.firefox"), QStringLiteral("headphones"));
  model.setDeviceVolume(QStringLiteral("org.mozilla.firefox"), QStringLiteral("headphones"), 0.45f);
  model.setAppVolume(QStringLiteral("com.spotify.Client"), 0.7f);
  model.toggleAppMute(QStringLiteral("com.spotify.Client"));
  model.setAppVolume(QStringLiteral("org.gnome.Rhythmbox3"), 0.65f);
  model.refresh();
}

// The panel in one state; the routing menu is the first row's (Firefox, sorted first), the
// output menu the system card's.
void panel(QQmlComponent& component, ViewWorld& world, const QString& name,
           bool openRoutingMenu = false, bool openOutputMenu = false) {
  QQuickWindow window;
  window.setColor(QGuiApplication::palette().color(QPalette::Window));
  std::unique_ptr<QObject> object(component.createWithInitialProperties(
      {{QStringLiteral("viewModel"), QVariant::fromValue(world.mixer())}}));
  auto* view = qobject_cast<QQuickItem*>(object.get());
  view->setParentItem(window.contentItem());
  window.resize(320, static_cast<int>(view->implicitHeight()));
  window.show();
  QTest::qWait(400);
  window.resize(320, static_cast<int>(view->implicitHeight()));
  if (openOutputMenu) {
    auto* button = view->findChild<QQuickItem*>(QStringLiteral("outputButton"));
    if (!button || !QMetaObject::invokeMethod(button, "clicked")) {
      std::fprintf(stderr, "no output menu to open\n");
      ++failed;
      return;
    }
    QTest::qWait(100);
    window.resize(320, static_cast<int>(view->implicitHeight()));
  }
  if (openRoutingMenu) {
    auto* list = view->findChild<QQuickItem*>(QStringLiteral("appList"));
    QQuickItem* row = nullptr;
    QMetaObject::invokeMethod(list, "itemAtIndex", Q_RETURN_ARG(QQuickItem*, row), Q_ARG(int, 0));
    auto* button = row ? row->findChild<QQuickItem*>(QStringLiteral("routeButton")) : nullptr;
    if (!button || !QMetaObject::invokeMethod(button, "clicked")) {
      std::fprintf(stderr, "no routing menu to open\n");
      ++failed;
      return;
    }
    // The panel grows its window for the menu.
    QTest::qWait(100);
    window.resize(320, static_cast<int>(view->implicitHeight()));
  }
  QTest::qWait(400);
  save(window, name);
}

// A desktop that tells which window has the focus (an X11 window manager).
struct FocusKnown final : controls::WindowActivator {
  bool activate(const std::vector<pid_t>&) override { return false; }
  bool tellsFocusedWindow() const override { return true; }
};

// The settings window's three tabs, with shortcuts set and two hidden apps; without a desktop
// that tells the focused window, only the general tab, named "-no-focus".
void settingsTabs(QQmlEngine& engine, const QString& theme, bool focusKnown = true) {
  testsupport::AppWorld world;
  FocusKnown focus;
  if (focusKnown) world.windows = &focus;
  world.preferences.set(prefs::kHotkeyKeyCode, 0);
  world.preferences.set(prefs::kHotkeyModifiers, 0xA0000);
  world.preferences.set(prefs::kHotkeyKeyChar, "A");
  world.preferences.set(prefs::kMuteFocusedHotkeyKeyCode, 46);
  world.preferences.set(prefs::kMuteFocusedHotkeyModifiers, 0xC0000);
  world.preferences.set(prefs::kMuteFocusedHotkeyKeyChar, "M");
  world.preferences.set(prefs::kHiddenApps,
                        std::vector<std::string>{"org.gnome.Rhythmbox3", "org.example.Gone"});
  world.preferences.set(prefs::kDefaultVolume, 0.8f);
  world.workspace.installed = {{"org.gnome.Rhythmbox3", "Rhythmbox"}};
  auto delegate = world.launch();
  SettingsWindow window(engine, *delegate->settingsViewModel(), delegate->updaterController());
  window.open();
  for (int tab : {0, 1, 2}) {
    if (!focusKnown && tab > 0) break;
    window.rootObject()->setProperty("selectedTab", tab);
    QTest::qWait(400);
    save(window, QStringLiteral("settings-tab%1-%2%3")
                     .arg(tab)
                     .arg(theme, focusKnown ? QString() : QStringLiteral("-no-focus")));
    if (tab != 0) continue;
    // The general tab scrolled to its end: the focused app's shortcuts.
    auto* general = window.rootObject()->findChild<QQuickItem*>(QStringLiteral("generalTab"));
    auto* flickable = general ? general->property("contentItem").value<QQuickItem*>() : nullptr;
    if (!flickable) {
      std::fprintf(stderr, "no general tab to scroll\n");
      ++failed;
      continue;
    }
    flickable->setProperty("contentY",
                           flickable->property("contentHeight").toReal() - flickable->height());
    QTest::qWait(200);
    save(window, QStringLiteral("settings-tab0-end-%1%2")
                     .arg(theme, focusKnown ? QString() : QStringLiteral("-no-focus")));
  }
}

// The introduction's two screens, each after its reveal; the card has a palette of its own.
void introduction(QQmlEngine& engine) {
  testsupport::AppWorld world;
  OnboardingWindow window(engine, world.queue, world.preferences);
  window.open();
  world.queue.advance(Seconds(1.5));
  QTest::qWait(900);
  save(window, QStringLiteral("introduction-welcome"));
  window.viewModel().getStarted();
  QTest::qWait(500);
  world.queue.advance(Seconds(2.4));
  QTest::qWait(900);
  save(window, QStringLiteral("introduction-all-set"));
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir runtime;
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
  QGuiApplication application(argc, argv);
  folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
  QDir().mkpath(folder);

  ViewWorld world;
  QQmlEngine engine;
  engine.addImportPath(qml::kImportPath);
  QQmlComponent component(&engine, qml::kMixerView);
  if (!component.isReady()) {
    std::fprintf(stderr, "%s\n", qPrintable(component.errorString()));
    return 1;
  }
  for (const QString& theme : {QStringLiteral("light"), QStringLiteral("dark")}) {
    QGuiApplication::setPalette(theme == QLatin1String("dark") ? darkPalette() : QPalette());
    world.reset();
    panel(component, world, QStringLiteral("empty-") + theme);
    world.reset();
    playThreeApps(world);
    panel(component, world, QStringLiteral("apps-") + theme);
    // Six outputs, as a desktop with HDMI outputs has; the long names are elided.
    for (int i = 1; i <= 3; ++i)
      world.addDevice(
          QStringLiteral("hdmi%1").arg(i),
          QStringLiteral("HDMI / DisplayPort %1 Output — Built-in Audio Digital Stereo").arg(i));
    panel(component, world, QStringLiteral("routing-menu-") + theme, true);
    panel(component, world, QStringLiteral("output-menu-") + theme, false, true);
    for (int i = 1; i <= 3; ++i) world.removeDevice(QStringLiteral("hdmi%1").arg(i));
    world.setPermission(QStringLiteral("denied"));
    panel(component, world, QStringLiteral("permission-") + theme);
    settingsTabs(engine, theme);
  }
  QGuiApplication::setPalette(QPalette());
  settingsTabs(engine, QStringLiteral("light"), false);
  introduction(engine);
  return failed == 0 && written > 0 ? 0 : 1;
}
