#include "ui/AppListModel.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QStringList>
#include <QVariantMap>
#include <algorithm>

namespace mixelot {
namespace {

constexpr const char* kDefaultRouteIcon = "arrow.triangle.branch";
constexpr const char* kSeveralRoutesIcon = "speaker.wave.2.fill";

const OutputDevice* findDevice(const std::vector<OutputDevice>& devices, const std::string& uid) {
  auto it = std::find_if(devices.begin(), devices.end(),
                         [&](const OutputDevice& device) { return device.id == uid; });
  return it == devices.end() ? nullptr : &*it;
}

// The app's icon as the row can show it: a file that exists or a name the icon theme knows;
// empty otherwise, so the row draws its generic symbol instead of a blank square.
QString shownIcon(const std::optional<std::string>& icon) {
  if (!icon || icon->empty()) return {};
  QString name = QString::fromStdString(*icon);
  if (name.startsWith(QLatin1Char('/'))) return QFileInfo::exists(name) ? name : QString();
  // The theme is only known to a graphical application; without one nothing is drawn anyway.
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return name;
  return QIcon::hasThemeIcon(name) ? name : QString();
}

}  // namespace

AppListModel::AppListModel(QObject* parent) : QAbstractListModel(parent) {}

int AppListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : count();
}

QVariant AppListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= count() || role < AppIdRole ||
      role >= AppIdRole + RoleCount)
    return {};
  return rows_[static_cast<size_t>(index.row())].values[role - AppIdRole];
}

QHash<int, QByteArray> AppListModel::roleNames() const {
  return {{AppIdRole, "appId"},
          {NameRole, "name"},
          {IconRole, "icon"},
          {CurrentVolumeRole, "currentVolume"},
          {IsMutedRole, "isMuted"},
          {RoutedCountRole, "routedCount"},
          {RouteIconRole, "routeIcon"},
          {RouteToolTipRole, "routeToolTip"},
          {RouteItemsRole, "routeItems"},
          {DeviceRowsRole, "deviceRows"}};
}

AppListModel::Row AppListModel::makeRow(const AudioApp& app,
                                        const std::vector<OutputDevice>& devices) {
  const auto& routed = app.selectedOutputDeviceUIDs;
  QString routeIcon = QString::fromLatin1(kDefaultRouteIcon);
  if (routed.size() == 1) {
    const OutputDevice* device = findDevice(devices, routed.front());
    routeIcon = QString::fromStdString(device ? device->icon : kSeveralRoutesIcon);
  } else if (routed.size() > 1) {
    routeIcon = QString::fromLatin1(kSeveralRoutesIcon);
  }

  // A routed device that has gone keeps its place in the app's routing, but shows nowhere.
  QStringList routedNames;
  QVariantList deviceRows;
  for (const auto& uid : routed) {
    const OutputDevice* device = findDevice(devices, uid);
    if (!device) continue;
    routedNames << QString::fromStdString(device->name);
    auto volume = app.perDeviceVolumes.find(uid);
    deviceRows.append(QVariantMap{
        {"uid", QString::fromStdString(uid)},
        {"name", QString::fromStdString(device->name)},
        {"icon", QString::fromStdString(device->icon)},
        {"volume", volume == app.perDeviceVolumes.end() ? app.currentVolume : volume->second}});
  }
  QString toolTip = routed.empty() ? QStringLiteral("Output: System Default")
                                   : QStringLiteral("Output: ") + routedNames.join(", ");

  QVariantList routeItems;
  for (const auto& device : devices) {
    bool checked = std::find(routed.begin(), routed.end(), device.id) != routed.end();
    routeItems.append(QVariantMap{{"id", QString::fromStdString(device.id)},
                                  {"name", QString::fromStdString(device.name)},
                                  {"icon", QString::fromStdString(device.icon)},
                                  {"checked", checked}});
  }

  Row row;
  row.id = QString::fromStdString(app.id);
  row.values = {row.id,
                QString::fromStdString(app.name),
                shownIcon(app.icon),
                app.currentVolume,
                app.isMuted,
                static_cast<int>(routed.size()),
                routeIcon,
                toolTip,
                routeItems,
                deviceRows};
  return row;
}

void AppListModel::sync(const std::vector<AudioApp>& apps,
                        const std::vector<OutputDevice>& devices) {
  const int oldCount = count();
  std::vector<Row> next;
  next.reserve(apps.size());
  for (const auto& app : apps) next.push_back(makeRow(app, devices));

  // Rows whose app left the list, from the back so indexes stay valid.
  for (int i = count() - 1; i >= 0; --i) {
    const QString& id = rows_[static_cast<size_t>(i)].id;
    bool kept = std::any_of(next.begin(), next.end(), [&](const Row& row) { return row.id == id; });
    if (kept) continue;
    beginRemoveRows({}, i, i);
    rows_.erase(rows_.begin() + i);
    endRemoveRows();
  }

  for (int i = 0; i < static_cast<int>(next.size()); ++i) {
    Row& wanted = next[static_cast<size_t>(i)];
    auto found = std::find_if(rows_.begin() + i, rows_.end(),
                              [&](const Row& row) { return row.id == wanted.id; });
    if (found == rows_.end()) {
      beginInsertRows({}, i, i);
      rows_.insert(rows_.begin() + i, std::move(wanted));
      endInsertRows();
      continue;
    }
    int from = static_cast<int>(found - rows_.begin());
    if (from != i) {
      beginMoveRows({}, from, from, {}, i);
      Row moved = std::move(*found);
      rows_.erase(found);
      rows_.insert(rows_.begin() + i, std::move(moved));
      endMoveRows();
    }
    Row& current = rows_[static_cast<size_t>(i)];
    // The mute state goes out on its own and first: a row keeps its slider where it is while the
    // app is muted, so it must know of the mute before it sees the volume drop to 0.
    const int muted = IsMutedRole - AppIdRole;
    if (current.values[muted] != wanted.values[muted]) {
      current.values[muted] = wanted.values[muted];
      emit dataChanged(index(i), index(i), {IsMutedRole});
    }
    QList<int> changed;
    for (int r = 0; r < RoleCount; ++r) {
      if (current.values[r] == wanted.values[r]) continue;
      current.values[r] = wanted.values[r];
      changed << AppIdRole + r;
    }
    if (!changed.isEmpty()) emit dataChanged(index(i), index(i), changed);
  }
  if (count() != oldCount) emit countChanged();
}

}  // namespace mixelot
