// The apps as QML's list model: the smallest row changes for each new list.
#include "ui/AppListModel.h"

#include <QSignalSpy>
#include <QtTest>

using namespace mixelot;

namespace {

AudioApp app(const std::string& id, float volume = 1.0f, bool muted = false) {
  AudioApp a;
  a.id = a.name = id;
  a.currentVolume = volume;
  a.isMuted = muted;
  return a;
}

QStringList ids(const AppListModel& model) {
  QStringList list;
  for (int i = 0; i < model.rowCount(); ++i)
    list << model.data(model.index(i), AppListModel::AppIdRole).toString();
  return list;
}

}  // namespace

class AppListModelTest : public QObject {
  Q_OBJECT

 private slots:
  void eachNewListBecomesRowChangesNotAReset() {
    AppListModel model;
    model.sync({app("a"), app("b"), app("c")}, {});
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy moved(&model, &QAbstractItemModel::rowsMoved);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    model.sync({app("a"), app("b"), app("c")}, {});
    QCOMPARE(changed.count() + inserted.count() + removed.count() + moved.count(), 0);

    // c moves to the front, b goes, d comes, a's volume changes.
    model.sync({app("c"), app("a", 0.5f), app("d")}, {});
    QCOMPARE(ids(model), (QStringList{"c", "a", "d"}));
    QCOMPARE(resets.count(), 0);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(moved.count(), 1);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.front().at(0).toModelIndex().row(), 1);
    QCOMPARE(changed.front().at(2).value<QList<int>>(),
             QList<int>{AppListModel::CurrentVolumeRole});
  }

  // A row keeps its slider while muted, so it must learn of a mute before the volume drops to 0.
  void theMuteStateChangesBeforeTheVolume() {
    AppListModel model;
    model.sync({app("a", 0.6f)}, {});
    QList<QList<int>> order;
    connect(
        &model, &QAbstractItemModel::dataChanged,
        [&](const QModelIndex&, const QModelIndex&, const QList<int>& roles) { order << roles; });
    model.sync({app("a", 0.0f, true)}, {});
    QCOMPARE(order.size(), 2);
    QCOMPARE(order[0], QList<int>{AppListModel::IsMutedRole});
    QCOMPARE(order[1], QList<int>{AppListModel::CurrentVolumeRole});
  }
};

QTEST_GUILESS_MAIN(AppListModelTest)
#include "AppListModelTest.moc"
