#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QList>
#include <QVariant>
#include <QVector>
#include <vector>

namespace mixelot {

// A list model whose rows are identified by a key (an app id, a device UID). `sync` turns each
// new list into the smallest set of row changes (remove, move, insert, and dataChanged naming
// only the roles that changed), so a delegate — a slider being dragged in it, a control holding
// the keyboard — lives as long as its key stays in the list, however often the list is rebuilt.
class KeyedListModel : public QAbstractListModel {
  Q_OBJECT
  Q_PROPERTY(int count READ count NOTIFY countChanged)

 public:
  struct Entry {
    QString key;
    QVector<QVariant> values;  // one per role name, in order
  };

  // The roles are Qt::UserRole + 1 onwards, named in order.
  explicit KeyedListModel(QList<QByteArray> roleNames, QObject* parent = nullptr);

  int count() const { return static_cast<int>(rows_.size()); }
  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QHash<int, QByteArray> roleNames() const override;

  void sync(std::vector<Entry> entries);
  // The current values of the row with `key`; nullptr when there is none.
  const QVector<QVariant>* find(const QString& key) const;

 signals:
  void countChanged();

 private:
  QList<QByteArray> roleNames_;
  std::vector<Entry> rows_;
};

}  // namespace mixelot
