#pragma once

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QIcon>
#include <QObject>
#include <QPoint>

class QMenu;

namespace mixelot {

class DBusMenu;

// An icon's pixels as a StatusNotifierItem sends them: (iiay), ARGB32 in network byte order.
struct SniImage {
  int width = 0;
  int height = 0;
  QByteArray pixels;
};
using SniImages = QList<SniImage>;
// (sa(iiay)ss): icon name, pixels, title, text.
struct SniToolTip {
  QString iconName;
  SniImages images;
  QString title;
  QString text;
};

QDBusArgument& operator<<(QDBusArgument& argument, const SniImage& image);
const QDBusArgument& operator>>(const QDBusArgument& argument, SniImage& image);
QDBusArgument& operator<<(QDBusArgument& argument, const SniToolTip& toolTip);
const QDBusArgument& operator>>(const QDBusArgument& argument, SniToolTip& toolTip);

}  // namespace mixelot

Q_DECLARE_METATYPE(mixelot::SniImage)
Q_DECLARE_METATYPE(mixelot::SniToolTip)

namespace mixelot {

// Our tray icon where the desktop runs a StatusNotifierWatcher (KDE, GNOME's indicator
// extension, most bars): org.kde.StatusNotifierItem at /StatusNotifierItem, with `menu` as
// com.canonical.dbusmenu at /MenuBar. Unlike Qt's, it passes the host's scrolls on and the
// position of a click, which is the icon's.
//
// It registers with the watcher when made and again whenever a watcher starts (the desktop's
// panel restarting). The New* signals go only when what they announce changed.
class StatusNotifierItem final : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
  Q_PROPERTY(QString Category READ category)
  Q_PROPERTY(QString Id READ id)
  Q_PROPERTY(QString Title READ title)
  Q_PROPERTY(QString Status READ status)
  Q_PROPERTY(int WindowId READ windowId)
  Q_PROPERTY(QString IconThemePath READ iconThemePath)
  Q_PROPERTY(QString IconName READ iconName)
  Q_PROPERTY(mixelot::SniImages IconPixmap READ iconPixmap)
  Q_PROPERTY(QString OverlayIconName READ overlayIconName)
  Q_PROPERTY(mixelot::SniImages OverlayIconPixmap READ overlayIconPixmap)
  Q_PROPERTY(QString AttentionIconName READ iconName)
  Q_PROPERTY(mixelot::SniImages AttentionIconPixmap READ iconPixmap)
  Q_PROPERTY(QString AttentionMovieName READ overlayIconName)
  Q_PROPERTY(mixelot::SniToolTip ToolTip READ toolTip)
  Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
  Q_PROPERTY(QDBusObjectPath Menu READ menuPath)

 public:
  static constexpr const char* kObjectPath = "/StatusNotifierItem";
  static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";
  static constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
  static constexpr const char* kId = "mixelot";

  // Whether a watcher is on the session bus now.
  static bool watcherAvailable();

  explicit StatusNotifierItem(QMenu& menu, QObject* parent = nullptr);
  ~StatusNotifierItem() override;

  // The icon (its theme name and the pixels for hosts whose theme lacks it), whether it asks for
  // attention (muted), and the tooltip.
  void setIcon(const QString& themeName, const QIcon& pixels);
  void setNeedsAttention(bool attention);
  void setToolTip(const QString& title, const QString& text);

  DBusMenu& dbusMenu() const { return *dbusMenu_; }

  QString category() const { return QStringLiteral("Hardware"); }
  QString id() const { return QString::fromUtf8(kId); }
  QString title() const { return toolTip_.title; }
  QString status() const;
  int windowId() const { return 0; }
  QString iconThemePath() const { return {}; }
  QString iconName() const { return iconName_; }
  SniImages iconPixmap() const { return pixels_; }
  QString overlayIconName() const { return {}; }
  SniImages overlayIconPixmap() const { return {}; }
  SniToolTip toolTip() const { return toolTip_; }
  bool itemIsMenu() const { return false; }
  QDBusObjectPath menuPath() const;

 public slots:
  void Activate(int x, int y);
  void SecondaryActivate(int x, int y);
  void ContextMenu(int x, int y);
  void Scroll(int delta, const QString& orientation);

 signals:
  // To the delegate: a click at `position` (null when the host did not tell it).
  void activated(QPoint position);
  void secondaryActivated();
  // Whole wheel notches, up positive.
  void scrolled(int steps);

  // To the host.
  void NewTitle();
  void NewIcon();
  void NewAttentionIcon();
  void NewOverlayIcon();
  void NewToolTip();
  void NewStatus(const QString& status);

 private:
  void registerWithWatcher();

  QMenu& menu_;
  DBusMenu* dbusMenu_ = nullptr;
  QDBusServiceWatcher watcher_;
  QString service_;
  QString iconName_;
  SniImages pixels_;
  SniToolTip toolTip_;
  bool needsAttention_ = false;
  int scrollRemainder_ = 0;
};

}  // namespace mixelot
