#include "ui/AppListModel.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QStringList>
#include <QTimer>
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

QVariant modelValue(QObject* model) {
  return QVariant::fromValue<QObject*>(model);
}

// Deleted after the row's delegate has faded out, which still shows them meanwhile.
constexpr int kSubListGraceMs = 1000;

}  // namespace

AppListModel::AppListModel(QObject* parent)
    : KeyedListModel(
          {"appId", "name", "icon", "currentVolume", "isMuted", "sliderVolume", "routedCount",
           "routeIcon", "routeToolTip", "routeItems", "deviceRows", "canActivate"},
          parent) {}

KeyedListModel::Entry AppListModel::makeRow(const AudioApp& app,
                                            const std::vector<OutputDevice>& devices,
                                            const RestoredVolume& restoredVolume,
                                            const Activatable& canActivate) {
  const QString id = QString::fromStdString(app.id);
  const auto& routed = app.selectedOutputDeviceUIDs;
  QString routeIcon = QString::fromLatin1(kDefaultRouteIcon);
  if (routed.size() == 1) {
    const OutputDevice* device = findDevice(devices, routed.front());
    routeIcon = QString::fromStdString(device ? device->icon : kSeveralRoutesIcon);
  } else if (routed.size() > 1) {
    routeIcon = QString::fromLatin1(kSeveralRoutesIcon);
  }

  auto [lists, isNew] = subLists_.try_emplace(id);
  if (isNew) {
    lists->second.routeItems = new KeyedListModel({"uid", "name", "symbol", "routed"}, this);
    lists->second.deviceRows = new KeyedListModel({"uid", "name", "symbol", "volume"}, this);
  }

  // A routed device that has gone keeps its place in the app's routing, but shows nowhere.
  QStringList routedNames;
  std::vector<Entry> deviceRows;
  for (const auto& uid : routed) {
    const OutputDevice* device = findDevice(devices, uid);
    if (!device) continue;
    routedNames << QString::fromStdString(device->name);
    auto volume = app.perDeviceVolumes.find(uid);
    const QString key = QString::fromStdString(uid);
    deviceRows.push_back(
        {key,
         {key, QString::fromStdString(device->name), QString::fromStdString(device->icon),
          volume == app.perDeviceVolumes.end() ? app.currentVolume : volume->second}});
  }
  lists->second.deviceRows->sync(std::move(deviceRows));
  QString toolTip = routed.empty() ? QStringLiteral("Output: System Default")
                                   : QStringLiteral("Output: ") + routedNames.join(", ");

  std::vector<Entry> routeItems;
  for (const auto& device : devices) {
    bool checked = std::find(routed.begin(), routed.end(), device.id) != routed.end();
    const QString key = QString::fromStdString(device.id);
    routeItems.push_back(
        {key,
         {key, QString::fromStdString(device.name), QString::fromStdString(device.icon), checked}});
  }
  lists->second.routeItems->sync(std::move(routeItems));

  // The slider keeps its place while the app is muted (the model reads 0 then), and a volume
  // that did not change since the last look leaves it alone.
  float slider = app.currentVolume;
  if (const QVector<QVariant>* shown = find(id)) {
    const bool volumeChanged = (*shown)[CurrentVolume].toFloat() != app.currentVolume;
    if (app.isMuted || !volumeChanged) slider = (*shown)[SliderVolume].toFloat();
  } else if (app.isMuted) {
    slider = restoredVolume ? restoredVolume(app.id) : 0.0f;
  }
  // A muted app at 0 shows a full (disabled) slider rather than an empty one.
  if (app.isMuted && slider <= 0.0f) slider = 1.0f;

  return {id,
          {id, QString::fromStdString(app.name), shownIcon(app.icon), app.currentVolume,
           app.isMuted, slider, static_cast<int>(routed.size()), routeIcon, toolTip,
           modelValue(lists->second.routeItems), modelValue(lists->second.deviceRows),
           !canActivate || canActivate(app.id)}};
}

void AppListModel::sync(const std::vector<AudioApp>& apps, const std::vector<OutputDevice>& devices,
                        const RestoredVolume& restoredVolume, const Activatable& canActivate) {
  std::vector<Entry> rows;
  rows.reserve(apps.size());
  for (const auto& app : apps) rows.push_back(makeRow(app, devices, restoredVolume, canActivate));
  KeyedListModel::sync(std::move(rows));
  // The lists of apps that left go with their rows' delegates.
  for (auto it = subLists_.begin(); it != subLists_.end();) {
    if (find(it->first)) {
      ++it;
      continue;
    }
    QTimer::singleShot(kSubListGraceMs, it->second.routeItems, &QObject::deleteLater);
    QTimer::singleShot(kSubListGraceMs, it->second.deviceRows, &QObject::deleteLater);
    it = subLists_.erase(it);
  }
}

}  // namespace mixelot
