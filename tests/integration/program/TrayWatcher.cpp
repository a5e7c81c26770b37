// A desktop's tray as far as a StatusNotifierItem sees it: the watcher, with one host
// registered, on the session bus. Prints "ready" once it owns its name, then "registered
// <service>" for every item that registers and, as a host listening to the item, "signal <name>"
// for each of its New* signals.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QStringList>
#include <cstdio>

class Watcher : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems MEMBER items_)
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
  Q_PROPERTY(int ProtocolVersion READ protocolVersion)

 public:
  bool hostRegistered() const { return true; }
  int protocolVersion() const { return 0; }

 public slots:
  void RegisterStatusNotifierItem(const QString& serviceOrPath) {
    // Some items pass their object path instead; the sender is the service then.
    const QString service =
        serviceOrPath.startsWith(QLatin1Char('/')) ? message().service() : serviceOrPath;
    items_ << service;
    for (const char* name : {"NewIcon", "NewToolTip", "NewStatus", "NewTitle"})
      connection().connect(service, QStringLiteral("/StatusNotifierItem"),
                           QStringLiteral("org.kde.StatusNotifierItem"), QString::fromUtf8(name),
                           this, SLOT(itemSignal()));
    std::printf("registered %s\n", qPrintable(service));
    std::fflush(stdout);
  }
  void RegisterStatusNotifierHost(const QString&) {}

 private slots:
  void itemSignal() {
    std::printf("signal %s\n", qPrintable(message().member()));
    std::fflush(stdout);
  }

 signals:
  void StatusNotifierItemRegistered(const QString& service);
  void StatusNotifierHostRegistered();

 private:
  QStringList items_;
};

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  Watcher watcher;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                          QDBusConnection::ExportAllContents) ||
      !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
    std::fprintf(stderr, "tray-watcher: %s\n", qPrintable(bus.lastError().message()));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return application.exec();
}

#include "TrayWatcher.moc"
