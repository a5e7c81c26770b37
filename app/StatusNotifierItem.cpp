#include "app/StatusNotifierItem.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QImage>
#include <QMenu>
#include <QtEndian>
#include <cstdlib>

#include "app/DBusMenu.h"
#include "platform/SystemLog.h"

namespace mixelot {

QDBusArgument& operator<<(QDBusArgument& argument, const SniImage& image) {
  argument.beginStructure();
  argument << image.width << image.height << image.pixels;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniImage& image) {
  argument.beginStructure();
  argument >> image.width >> image.height >> image.pixels;
  argument.endStructure();
  return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const SniToolTip& toolTip) {
  argument.beginStructure();
  argument << toolTip.iconName << toolTip.images << toolTip.title << toolTip.text;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniToolTip& toolTip) {
  argument.beginStructure();
  argument >> toolTip.iconName >> toolTip.images >> toolTip.title >> toolTip.text;
  argument.endStructure();
  return argument;
}

namespace {

// The sizes hosts draw tray icons at; each picks the nearest.
constexpr int kPixelSizes[] = {16, 22, 32, 48};
// A wheel notch in the host's units (Qt's angle delta, which KDE passes on). Hosts that count
// notches send ±1 instead.
constexpr int kNotch = 120;

SniImages imagesOf(const QIcon& icon) {
  SniImages images;
  for (int size : kPixelSizes) {
    const QImage image =
        icon.pixmap(QSize(size, size)).toImage().convertToFormat(QImage::Format_ARGB32);
    if (image.isNull()) continue;
    SniImage sent{image.width(), image.height(), {}};
    sent.pixels.resize(qsizetype(image.width()) * image.height() * 4);
    uchar* out = reinterpret_cast<uchar*>(sent.pixels.data());
    for (int row = 0; row < image.height(); ++row) {
      const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(row));
      for (int column = 0; column < image.width(); ++column, out += 4)
        qToBigEndian<quint32>(line[column], out);
    }
    images << sent;
  }
  return images;
}

}  // namespace

bool StatusNotifierItem::watcherAvailable() {
  const QDBusConnection bus = QDBusConnection::sessionBus();
  return bus.isConnected() && bus.interface() &&
         bus.interface()->isServiceRegistered(QString::fromUtf8(kWatcherService)).value();
}

StatusNotifierItem::StatusNotifierItem(QMenu& menu, QObject* parent)
    : QObject(parent), menu_(menu) {
  qDBusRegisterMetaType<SniImage>();
  qDBusRegisterMetaType<SniImages>();
  qDBusRegisterMetaType<SniToolTip>();
  DBusMenu::registerTypes();
  dbusMenu_ = new DBusMenu(menu, this);

  QDBusConnection bus = QDBusConnection::sessionBus();
  // The name hosts expect of an item: one per process and item.
  service_ =
      QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid());
  if (!bus.registerObject(QString::fromUtf8(kObjectPath), this,
                          QDBusConnection::ExportAllContents) ||
      !bus.registerObject(QString::fromUtf8(DBusMenu::kObjectPath), dbusMenu_,
                          QDBusConnection::ExportAllContents) ||
      !bus.registerService(service_))
    logLine("Tray item: " + bus.lastError().message().toStdString());

  watcher_.setConnection(bus);
  watcher_.setWatchMode(QDBusServiceWatcher::WatchForRegistration);
  watcher_.addWatchedService(QString::fromUtf8(kWatcherService));
  connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this,
          &StatusNotifierItem::registerWithWatcher);
  registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterService(service_);
  bus.unregisterObject(QString::fromUtf8(DBusMenu::kObjectPath));
  bus.unregisterObject(QString::fromUtf8(kObjectPath));
}

void StatusNotifierItem::registerWithWatcher() {
  QDBusMessage call = QDBusMessage::createMethodCall(
      QString::fromUtf8(kWatcherService), QString::fromUtf8(kWatcherPath),
      QString::fromUtf8(kWatcherService), QStringLiteral("RegisterStatusNotifierItem"));
  call << service_;
  // Not waited for: a watcher that hangs must not hold the interface up.
  QDBusConnection::sessionBus().send(call);
}

void StatusNotifierItem::setIcon(const QString& themeName, const QIcon& pixels) {
  if (themeName == iconName_ && !pixels_.isEmpty()) return;
  iconName_ = themeName;
  pixels_ = imagesOf(pixels);
  toolTip_.iconName = themeName;
  emit NewIcon();
  emit NewAttentionIcon();
  emit NewToolTip();
}

void StatusNotifierItem::setNeedsAttention(bool attention) {
  if (attention == needsAttention_) return;
  needsAttention_ = attention;
  emit NewStatus(status());
}

void StatusNotifierItem::setToolTip(const QString& title, const QString& text) {
  if (title == toolTip_.title && text == toolTip_.text) return;
  const bool titleChanged = title != toolTip_.title;
  toolTip_.title = title;
  toolTip_.text = text;
  if (titleChanged) emit NewTitle();
  emit NewToolTip();
}

QString StatusNotifierItem::status() const {
  return QString::fromLatin1(needsAttention_ ? "NeedsAttention" : "Active");
}

QDBusObjectPath StatusNotifierItem::menuPath() const {
  return QDBusObjectPath(QString::fromUtf8(DBusMenu::kObjectPath));
}

void StatusNotifierItem::Activate(int x, int y) {
  emit activated(x == 0 && y == 0 ? QPoint() : QPoint(x, y));
}

void StatusNotifierItem::SecondaryActivate(int, int) {
  emit secondaryActivated();
}

void StatusNotifierItem::ContextMenu(int x, int y) {
  menu_.popup(x == 0 && y == 0 ? QCursor::pos() : QPoint(x, y));
}

void StatusNotifierItem::Scroll(int delta, const QString& orientation) {
  if (orientation.compare(QLatin1String("vertical"), Qt::CaseInsensitive) != 0 || delta == 0)
    return;
  int steps = 0;
  if (std::abs(delta) == 1) {
    steps = delta;
  } else {
    // A touchpad sends fractions of a notch: they add up to one.
    scrollRemainder_ += delta;
    steps = scrollRemainder_ / kNotch;
    scrollRemainder_ -= steps * kNotch;
  }
  if (steps != 0) emit scrolled(steps);
}

}  // namespace mixelot
