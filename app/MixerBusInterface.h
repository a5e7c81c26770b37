#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QList>
#include <QString>
#include <QStringList>

namespace mixelot {

class AppDelegate;
class MixerViewModel;

// One row of ListApps: (id, name, currentVolume, isMuted, selectedOutputDeviceUIDs).
struct BusApp {
  QString id;
  QString name;
  double currentVolume = 0;
  bool isMuted = false;
  QStringList selectedOutputDeviceUIDs;
};

// One row of ListDevices: (uid, name, icon).
struct BusDevice {
  QString uid;
  QString name;
  QString icon;
};

QDBusArgument& operator<<(QDBusArgument& argument, const BusApp& app);
const QDBusArgument& operator>>(const QDBusArgument& argument, BusApp& app);
QDBusArgument& operator<<(QDBusArgument& argument, const BusDevice& device);
const QDBusArgument& operator>>(const QDBusArgument& argument, BusDevice& device);

}  // namespace mixelot

Q_DECLARE_METATYPE(mixelot::BusApp)
Q_DECLARE_METATYPE(mixelot::BusDevice)

namespace mixelot {

// The mixer on the session bus, so that any desktop (Wayland compositors included) can bind keys
// to it and scripts can drive it. Every method acts exactly like the panel action of the same
// name: the same model calls, then a refresh. Unknown ids and odd volumes get the model's own
// handling (clamping, no-op). Nothing here takes a path or a command.
class MixerBusInterface final : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.corvana.Mixelot.Mixer")
  // Whether the mixer panel is on screen (it refreshes only then).
  Q_PROPERTY(bool PanelShown READ panelShown)

 public:
  static constexpr const char* kServiceName = "com.corvana.Mixelot";
  static constexpr const char* kObjectPath = "/com/corvana/Mixelot";
  static constexpr const char* kInterfaceName = "com.corvana.Mixelot.Mixer";

  // `host` is the QObject registered at kObjectPath; the adaptor becomes its child.
  MixerBusInterface(QObject* host, AppDelegate& delegate);
  static void registerTypes();
  bool panelShown();

 public slots:
  QList<mixelot::BusApp> ListApps();
  QList<mixelot::BusDevice> ListDevices();
  QString DefaultDevice();
  void SetVolume(const QString& id, double volume);
  void ToggleMute(const QString& id);
  void ResetVolume(const QString& id);
  void ToggleDeviceRouting(const QString& id, const QString& uid);
  void SetDeviceVolume(const QString& id, const QString& uid, double volume);
  void HideApp(const QString& id);
  void UnhideApp(const QString& id);
  void SetSystemVolume(double volume);
  // The system's default output (the desktop's configured choice); an unknown uid changes nothing.
  void SetDefaultDevice(const QString& uid);
  void ToggleSystemMute();
  void ToggleMuteAll();
  // The app whose window has the focus (X11): its mute toggled, or its volume moved by `delta`
  // (0...1 units, e.g. 0.05), told by the overlay. Nothing where the desktop does not tell.
  void ToggleMuteFocused();
  void ChangeFocusedVolume(double delta);
  void TogglePanel();
  // The settings window, opened or raised (the panel's gear).
  void OpenSettings();

 signals:
  void Changed();

 private:
  MixerViewModel& mixer();
  AppDelegate& delegate_;
};

}  // namespace mixelot
