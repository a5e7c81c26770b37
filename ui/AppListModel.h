#pragma once

#include <QString>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/OutputDevice.h"
#include "model/AudioApp.h"
#include "ui/KeyedListModel.h"

namespace mixelot {

// The mixer's apps as QML sees them: one row per app, keyed by the app id (see KeyedListModel),
// so a row's delegate lives as long as its app stays in the list.
//
// Besides the app's own fields, each row carries what its slider, routing menu and device
// sub-rows show, derived here from the app and the available devices so the views only display
// it and keep no state that a delegate rebuilt (scrolled away and back) would lose. The menu's
// items and the sub-rows are keyed lists of their own, by device UID, that live as long as the
// app's row.
class AppListModel final : public KeyedListModel {
  Q_OBJECT

 public:
  // Indexes of the roles, in the order of their names.
  enum Role {
    AppId,
    Name,
    Icon,  // a theme icon name or an icon file path; empty when the app has none
    CurrentVolume,
    IsMuted,
    // What the app's slider shows: the volume, except that a muted app keeps the volume it had
    // (1.0 when that was 0), and an app unmuted at 0 keeps showing it until its volume changes.
    SliderVolume,
    RoutedCount,   // entries in the app's routed device list
    RouteIcon,     // the symbol of the routing menu's label
    RouteToolTip,  // "Output: ..." with the routed devices that still exist
    RouteItems,    // a keyed list of every available device: uid, name, symbol, routed
    DeviceRows,    // a keyed list of the routed devices that still exist: uid, name, symbol,
                   // volume
    CanActivate,   // bringing the app to the front can work: the row offers it
  };

  explicit AppListModel(QObject* parent = nullptr);
  static constexpr int role(Role index) { return Qt::UserRole + 1 + index; }

  // The volume a muted app comes back to, for a row that starts out muted.
  using RestoredVolume = std::function<float(const std::string& appId)>;
  // Whether an app can be brought to the front; none: every app can.
  using Activatable = std::function<bool(const std::string& appId)>;
  void sync(const std::vector<AudioApp>& apps, const std::vector<OutputDevice>& devices,
            const RestoredVolume& restoredVolume = {}, const Activatable& canActivate = {});

 private:
  struct SubLists {
    KeyedListModel* routeItems;
    KeyedListModel* deviceRows;
  };
  Entry makeRow(const AudioApp& app, const std::vector<OutputDevice>& devices,
                const RestoredVolume& restoredVolume, const Activatable& canActivate);

  std::map<QString, SubLists> subLists_;
};

}  // namespace mixelot
