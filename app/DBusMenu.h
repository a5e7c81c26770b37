#pragma once

#include <QDBusArgument>
#include <QDBusVariant>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>
#include <functional>

class QAction;
class QMenu;

namespace mixelot {

// One entry of the menu's tree as com.canonical.dbusmenu sends it: (ia{sv}av), the children
// each a variant holding an entry.
struct DBusMenuLayoutItem {
  int id = 0;
  QVariantMap properties;
  QList<DBusMenuLayoutItem> children;
};
// An entry's properties without its children: (ia{sv}).
struct DBusMenuItem {
  int id = 0;
  QVariantMap properties;
};
// An entry's removed properties: (ias).
struct DBusMenuItemKeys {
  int id = 0;
  QStringList names;
};
// One event of a group: (isvu).
struct DBusMenuEvent {
  int id = 0;
  QString eventId;
  QDBusVariant data;
  uint timestamp = 0;
};

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayoutItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayoutItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event);

}  // namespace mixelot

Q_DECLARE_METATYPE(mixelot::DBusMenuLayoutItem)
Q_DECLARE_METATYPE(mixelot::DBusMenuItem)
Q_DECLARE_METATYPE(mixelot::DBusMenuItemKeys)
Q_DECLARE_METATYPE(mixelot::DBusMenuEvent)

namespace mixelot {

// A flat QMenu (actions and separators) on the session bus as com.canonical.dbusmenu, for the
// hosts that draw a StatusNotifierItem's menu themselves. An entry's id is its action's place
// in the menu plus one (0 is the root), so the menu is built once and only relabelled after.
// A changed action sends LayoutUpdated; the host then asks for the tree again.
class DBusMenu final : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
  Q_PROPERTY(uint Version READ version)
  Q_PROPERTY(QString TextDirection READ textDirection)
  Q_PROPERTY(QString Status READ status)
  Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

 public:
  static constexpr const char* kObjectPath = "/MenuBar";

  explicit DBusMenu(QMenu& menu, QObject* parent = nullptr);
  static void registerTypes();

  // Runs when a host is about to show the menu (a moment to bring labels up to date).
  std::function<void()> onAboutToShow;

  uint version() const { return 3; }
  QString textDirection() const;
  QString status() const { return QStringLiteral("normal"); }
  QStringList iconThemePath() const { return {}; }
  uint revision() const { return revision_; }

 public slots:
  uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                 mixelot::DBusMenuLayoutItem& layout);
  QList<mixelot::DBusMenuItem> GetGroupProperties(const QList<int>& ids,
                                                  const QStringList& propertyNames);
  QDBusVariant GetProperty(int id, const QString& name);
  void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
  QList<int> EventGroup(const QList<mixelot::DBusMenuEvent>& events);
  bool AboutToShow(int id);
  QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

 signals:
  void ItemsPropertiesUpdated(const QList<mixelot::DBusMenuItem>& updatedProps,
                              const QList<mixelot::DBusMenuItemKeys>& removedProps);
  void LayoutUpdated(uint revision, int parent);
  void ItemActivationRequested(int id, uint timestamp);

 private:
  QAction* action(int id) const;
  QVariantMap properties(int id, const QStringList& names) const;
  DBusMenuLayoutItem layoutItem(int id, int depth, const QStringList& names) const;
  bool activate(int id, const QString& eventId);
  void onMenuChanged();

  QPointer<QMenu> menu_;
  uint revision_ = 1;
  bool updatePending_ = false;
};

}  // namespace mixelot
