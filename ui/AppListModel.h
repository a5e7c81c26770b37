#pragma once

#include <QAbstractListModel>
#include <QVariant>
#include <QVector>
#include <vector>

#include "engine/OutputDevice.h"
#include "model/AudioApp.h"

namespace mixelot {

// The mixer's apps as QML sees them: one row per app, keyed by the app id. `sync` turns each new
// list into the smallest set of row changes (remove, move, insert, and dataChanged naming only the
// roles that changed), so a row's delegate — and a slider being dragged in it — lives as long as
// its app stays in the list, however often the list is refreshed.
//
// Besides the app's own fields, each row carries what its routing menu and device sub-rows show,
// derived here from the app and the available devices so the views only display it.
class AppListModel final : public QAbstractListModel {
  Q_OBJECT
  Q_PROPERTY(int count READ count NOTIFY countChanged)

 public:
  enum Role {
    AppIdRole = Qt::UserRole + 1,
    NameRole,
    IconRole,  // a theme icon name or an icon file path; empty when the app has none
    CurrentVolumeRole,
    IsMutedRole,
    RoutedCountRole,   // entries in the app's routed device list
    RouteIconRole,     // the symbol of the routing menu's label
    RouteToolTipRole,  // "Output: ..." with the routed devices that still exist
    RouteItemsRole,    // every available device: id, name, icon, checked
    DeviceRowsRole,    // one per routed device that still exists: uid, name, icon, volume
    RoleCount = DeviceRowsRole - AppIdRole + 1,
  };

  explicit AppListModel(QObject* parent = nullptr);

  int count() const { return static_cast<int>(rows_.size()); }
  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QHash<int, QByteArray> roleNames() const override;

  void sync(const std::vector<AudioApp>& apps, const std::vector<OutputDevice>& devices);

 signals:
  void countChanged();

 private:
  struct Row {
    QString id;
    QVector<QVariant> values;  // indexed by role - AppIdRole
  };
  static Row makeRow(const AudioApp& app, const std::vector<OutputDevice>& devices);

  std::vector<Row> rows_;
};

}  // namespace mixelot
