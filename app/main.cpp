// Mixelot: a per-application volume mixer in the tray.

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QStandardPaths>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string_view>

#include "BuildInfo.h"

#include "app/AppDelegate.h"
#include "app/AppWindows.h"
#include "app/MixerBusInterface.h"
#include "app/TrayShell.h"
#include "controls/HotkeyManager.h"
#include "controls/OverlayManager.h"
#include "controls/linux/DesktopControls.h"
#include "controls/linux/LocalKeyFilter.h"
#include "engine/AudioRecordingPermission.h"
#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "model/DiscoveryRules.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemLog.h"
#include "platform/linux/InstanceLock.h"
#include "platform/linux/JournalLog.h"
#include "platform/linux/LinuxPermissionService.h"
#include "platform/linux/LinuxProcessInfo.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/XdgAutostartLoginItem.h"
#include "ui/MixerViewModel.h"
#include "ui/QmlUrls.h"
#include "ui/QtMainQueue.h"

using namespace mixelot;

namespace {

constexpr const char* kApplicationId = "com.corvana.Mixelot";

bool hasDisplay() {
  auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before anything starts: no display, no bus, no audio.
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--version") {
      std::printf("mixelot %s\n", buildinfo::kVersion);
      return 0;
    }
  }

  // Without a display the program runs headless: no windows, all of the audio work, the bus.
  std::unique_ptr<QCoreApplication> application;
  if (hasDisplay())
    application = std::make_unique<QApplication>(argc, argv);
  else
    application = std::make_unique<QCoreApplication>(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("Mixelot"));
  QCoreApplication::setOrganizationDomain(QStringLiteral("corvana.com"));

  JournalLog journal;
  setSystemLog(&journal);

  // One instance per session: a second launch shows the first one's panel and leaves. The lock
  // file decides also without a session bus, and between two launches racing for the bus name.
  QDBusConnection bus = QDBusConnection::sessionBus();
  InstanceLock instance(
      InstanceLock::defaultPath(kApplicationId, PreferencesStore::defaultFolder()));
  bool otherInstance = instance.state() == InstanceLock::State::kHeldElsewhere;
  if (bus.isConnected() && bus.interface()->isServiceRegistered(MixerBusInterface::kServiceName)) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        MixerBusInterface::kServiceName, MixerBusInterface::kObjectPath,
        MixerBusInterface::kInterfaceName, QStringLiteral("TogglePanel"));
    bus.call(call, QDBus::Block, 5000);
    return 0;
  }
  if (otherInstance) {
    std::fprintf(stderr, "Mixelot is already running (process %d, lock %s); leaving it alone\n",
                 static_cast<int>(instance.holder()), instance.path().c_str());
    return 1;
  }
  if (instance.state() == InstanceLock::State::kUnavailable)
    logLine("No single-instance lock (" + instance.error() + "); carrying on");
  if (!bus.isConnected()) logLine("No session bus; running without the D-Bus interface");
  // The name first, before any audio work: calls wait in the bus until the loop runs.
  if (bus.isConnected() && !bus.registerService(MixerBusInterface::kServiceName)) {
    // Someone else owns our name: a second launch could not find us, and the bus would reach the
    // other one. Leave rather than run half-reachable.
    std::string message = "Mixelot cannot own the bus name " +
                          std::string(MixerBusInterface::kServiceName) + " (" +
                          bus.lastError().message().toStdString() + "); exiting";
    logLine(message);
    std::fprintf(stderr, "%s\n", message.c_str());
    return 1;
  }

  QtMainQueue queue;
  PreferencesStore preferences(PreferencesStore::defaultFolder(), queue);
  LinuxWorkspace workspace;
  // A process that names itself nowhere is known by the desktop entry of its program.
  hal::pipewire::PipeWireOptions audioOptions;
  audioOptions.desktopEntryForProcess = [&workspace](pid_t pid) -> std::optional<std::string> {
    const DesktopEntry* entry = workspace.entryForProcess(pid);
    if (!entry) return std::nullopt;
    return entry->id;
  };
  LinuxProcessInfo processInfo;
  audioOptions.applicationOfProcess = [&workspace, &processInfo](pid_t pid) {
    return owningApplicationID(pid, workspace, processInfo);
  };
  hal::pipewire::PipeWireAudioHardware hardware(queue, audioOptions);
  LinuxPermissionService permissionService;
  // Asked at every check rather than once: the daemon may come after us (early in a login), go
  // and come back.
  permissionService.setAccessProbe([&hardware] { return hardware.hasFullAccess(); });
  XdgAutostartLoginItem loginItem(XdgAutostartLoginItem::defaultConfigHome(), kApplicationId,
                                  QCoreApplication::applicationFilePath().toStdString());

  // The program's windows share one QML engine. Without a display there is no tray and no
  // panel: the panel's state alone toggles, so the bus (PanelShown) and a second launch behave
  // the same.
  InterfaceHooks hooks;
  std::unique_ptr<QQmlEngine> qmlEngine;
  std::unique_ptr<TrayShell> tray;
  std::unique_ptr<AppWindows> windows;
  bool panelShown = false;
  if (qobject_cast<QApplication*>(application.get())) {
    // Our windows are small and plain: Qt Quick's software renderer draws the panel's first
    // frame in about 10 ms, where bringing up OpenGL for it takes a quarter of a second on a
    // machine without a GPU. QT_QUICK_BACKEND still chooses.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
      QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    qmlEngine = std::make_unique<QQmlEngine>();
    tray = std::make_unique<TrayShell>(*qmlEngine, qml::kMixerView);
    tray->install(hooks);
    windows = std::make_unique<AppWindows>(*qmlEngine, queue, preferences);
    windows->install(hooks);
  } else {
    hooks.togglePanel = [&panelShown] { return panelShown = !panelShown; };
  }
  auto shortcuts = controls::makeGlobalShortcutService(queue);
  auto overlayPresenter = controls::makeOverlayPresenter(qml::kOverlayView, qmlEngine.get());
  controls::OverlayManager overlay(*overlayPresenter, queue);
  hooks.showOverlay = [&overlay](const std::string& message) { overlay.show(message); };
  auto windowActivator = controls::makeWindowActivator();
  AppDelegate delegate({hardware, queue, preferences, workspace, processInfo, permissionService,
                        loginItem, shortcuts.get(), windowActivator.get()},
                       hooks);
  if (tray) tray->attach(delegate);
  if (windows) windows->attach(delegate);
  delegate.applicationDidFinishLaunching();
  // Without a window activator only a D-Bus-activatable app can be brought to the front (the
  // workspace launches it again, which raises it); the others' rows do not offer it.
  // Read once per app: the panel asks at every refresh.
  if (MixerViewModel* mixer = delegate.mixerViewModel()) {
    mixer->canActivateApp = [known = std::map<std::string, bool>()](const std::string& id) mutable {
      auto [it, isNew] = known.try_emplace(id, false);
      if (!isNew) return it->second;
      const QString path = QStandardPaths::locate(QStandardPaths::ApplicationsLocation,
                                                  QString::fromStdString(id) + ".desktop");
      QFile entry(path);
      if (!path.isEmpty() && entry.open(QIODevice::ReadOnly))
        it->second = QString::fromUtf8(entry.readAll())
                         .split(QLatin1Char('\n'))
                         .contains(QStringLiteral("DBusActivatable=true"));
      return it->second;
    };
  }
  controls::LocalKeyFilter localKeys(*delegate.hotkeyManager());
  application->installEventFilter(&localKeys);
  // The program becomes active when the backend (re)connects and when one of its windows does:
  // the permission is read again then.
  auto becameActive = [&delegate] {
    if (auto* permission = delegate.audioPermission()) permission->applicationDidBecomeActive();
  };
  hardware.onAccessChanged = [&permissionService, becameActive] {
    permissionService.accessMayHaveChanged();
    becameActive();
  };
  if (auto* gui = qobject_cast<QGuiApplication*>(application.get()))
    QObject::connect(gui, &QGuiApplication::applicationStateChanged, &delegate,
                     [becameActive](Qt::ApplicationState state) {
                       if (state == Qt::ApplicationActive) becameActive();
                     });

  QObject busHost;
  MixerBusInterface::registerTypes();
  new MixerBusInterface(&busHost, delegate);
  if (bus.isConnected()) bus.registerObject(MixerBusInterface::kObjectPath, &busHost);
  return application->exec();
}
