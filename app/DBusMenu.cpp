#include "app/DBusMenu.h"

#include <QAction>
#include <QDBusMetaType>
#include <QGuiApplication>
#include <QMenu>
#include <QTimer>

namespace mixelot {

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayoutItem& item) {
  argument.beginStructure();
  argument << item.id << item.properties;
  argument.beginArray(QMetaType::fromType<QDBusVariant>());
  for (const DBusMenuLayoutItem& child : item.children)
    argument << QDBusVariant(QVariant::fromValue(child));
  argument.endArray();
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayoutItem& item) {
  argument.beginStructure();
  argument >> item.id >> item.properties;
  item.children.clear();
  argument.beginArray();
  while (!argument.atEnd()) {
    QDBusVariant child;
    argument >> child;
    item.children << qdbus_cast<DBusMenuLayoutItem>(child.variant());
  }
  argument.endArray();
  argument.endStructure();
  return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item) {
  argument.beginStructure();
  argument << item.id << item.properties;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item) {
  argument.beginStructure();
  argument >> item.id >> item.properties;
  argument.endStructure();
  return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& item) {
  argument.beginStructure();
  argument << item.id << item.names;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& item) {
  argument.beginStructure();
  argument >> item.id >> item.names;
  argument.endStructure();
  return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event) {
  argument.beginStructure();
  argument << event.id << event.eventId << event.data << event.timestamp;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event) {
  argument.beginStructure();
  argument >> event.id >> event.eventId >> event.data >> event.timestamp;
  argument.endStructure();
  return argument;
}

namespace {

// dbusmenu marks the mnemonic with '_' where Qt uses '&'.
QString dbusLabel(QString text) {
  text.replace(QLatin1Char('_'), QStringLiteral("__"));
  QString label;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == QLatin1Char('&') && i + 1 < text.size()) {
      ++i;
      label += text[i] == QLatin1Char('&') ? QStringLiteral("&") : QStringLiteral("_") + text[i];
    } else {
      label += text[i];
    }
  }
  return label;
}

}  // namespace

DBusMenu::DBusMenu(QMenu& menu, QObject* parent) : QObject(parent), menu_(&menu) {
  for (QAction* item : menu.actions())
    connect(item, &QAction::changed, this, &DBusMenu::onMenuChanged);
}

void DBusMenu::registerTypes() {
  qDBusRegisterMetaType<DBusMenuLayoutItem>();
  qDBusRegisterMetaType<DBusMenuItem>();
  qDBusRegisterMetaType<QList<DBusMenuItem>>();
  qDBusRegisterMetaType<DBusMenuItemKeys>();
  qDBusRegisterMetaType<QList<DBusMenuItemKeys>>();
  qDBusRegisterMetaType<DBusMenuEvent>();
  qDBusRegisterMetaType<QList<DBusMenuEvent>>();
  qDBusRegisterMetaType<QList<int>>();
}

QString DBusMenu::textDirection() const {
  return QString::fromLatin1(QGuiApplication::isRightToLeft() ? "rtl" : "ltr");
}

QAction* DBusMenu::action(int id) const {
  if (!menu_ || id < 1) return nullptr;
  const QList<QAction*> items = menu_->actions();
  return id <= items.size() ? items[id - 1] : nullptr;
}

QVariantMap DBusMenu::properties(int id, const QStringList& names) const {
  QVariantMap all;
  if (id == 0) {
    all.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
  } else if (const QAction* item = action(id)) {
    if (item->isSeparator()) {
      all.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
      all.insert(QStringLiteral("label"), dbusLabel(item->text()));
      if (item->isCheckable()) {
        all.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
        all.insert(QStringLiteral("toggle-state"), item->isChecked() ? 1 : 0);
      }
    }
    // The defaults (enabled, visible) go only when they do not hold, as the protocol asks.
    if (!item->isEnabled()) all.insert(QStringLiteral("enabled"), false);
    if (!item->isVisible()) all.insert(QStringLiteral("visible"), false);
  }
  if (names.isEmpty()) return all;
  QVariantMap asked;
  for (const QString& name : names)
    if (all.contains(name)) asked.insert(name, all.value(name));
  return asked;
}

DBusMenuLayoutItem DBusMenu::layoutItem(int id, int depth, const QStringList& names) const {
  DBusMenuLayoutItem item{id, properties(id, names), {}};
  if (id != 0 || depth == 0 || !menu_) return item;
  for (int child = 1; child <= menu_->actions().size(); ++child)
    item.children << layoutItem(child, depth - 1, names);
  return item;
}

uint DBusMenu::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                         DBusMenuLayoutItem& layout) {
  layout = layoutItem(parentId, recursionDepth, propertyNames);
  return revision_;
}

QList<DBusMenuItem> DBusMenu::GetGroupProperties(const QList<int>& ids,
                                                 const QStringList& propertyNames) {
  QList<DBusMenuItem> items;
  for (int id : ids)
    if (id == 0 || action(id)) items << DBusMenuItem{id, properties(id, propertyNames)};
  return items;
}

QDBusVariant DBusMenu::GetProperty(int id, const QString& name) {
  return QDBusVariant(properties(id, {}).value(name));
}

bool DBusMenu::activate(int id, const QString& eventId) {
  QAction* item = action(id);
  if (!item) return false;
  if (eventId != QLatin1String("clicked") || item->isSeparator() || !item->isEnabled()) return true;
  // After the reply: the action may end the program (Quit) or open a window.
  QTimer::singleShot(0, item, [item] { item->trigger(); });
  return true;
}

void DBusMenu::Event(int id, const QString& eventId, const QDBusVariant&, uint) {
  activate(id, eventId);
}

QList<int> DBusMenu::EventGroup(const QList<DBusMenuEvent>& events) {
  QList<int> idErrors;
  for (const DBusMenuEvent& event : events)
    if (event.id != 0 && !activate(event.id, event.eventId)) idErrors << event.id;
  return idErrors;
}

bool DBusMenu::AboutToShow(int id) {
  if (id != 0) return false;
  const uint before = revision_;
  if (onAboutToShow) onAboutToShow();
  return revision_ != before || updatePending_;
}

QList<int> DBusMenu::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
  QList<int> needUpdate;
  for (int id : ids) {
    if (id != 0 && !action(id))
      idErrors << id;
    else if (AboutToShow(id))
      needUpdate << id;
  }
  return needUpdate;
}

void DBusMenu::onMenuChanged() {
  // One relabelling touches an action several times; the host hears of it once.
  ++revision_;
  if (updatePending_) return;
  updatePending_ = true;
  QTimer::singleShot(0, this, [this] {
    updatePending_ = false;
    emit LayoutUpdated(revision_, 0);
  });
}

}  // namespace mixelot
