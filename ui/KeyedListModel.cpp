#include "ui/KeyedListModel.h"

#include <algorithm>

namespace mixelot {

KeyedListModel::KeyedListModel(QList<QByteArray> roleNames, QObject* parent)
    : QAbstractListModel(parent), roleNames_(std::move(roleNames)) {}

int KeyedListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : count();
}

QVariant KeyedListModel::data(const QModelIndex& index, int role) const {
  const int column = role - Qt::UserRole - 1;
  if (!index.isValid() || index.row() >= count() || column < 0 || column >= roleNames_.size())
    return {};
  return rows_[static_cast<size_t>(index.row())].values.value(column);
}

QHash<int, QByteArray> KeyedListModel::roleNames() const {
  QHash<int, QByteArray> names;
  for (int i = 0; i < roleNames_.size(); ++i) names.insert(Qt::UserRole + 1 + i, roleNames_[i]);
  return names;
}

const QVector<QVariant>* KeyedListModel::find(const QString& key) const {
  auto it =
      std::find_if(rows_.begin(), rows_.end(), [&](const Entry& row) { return row.key == key; });
  return it == rows_.end() ? nullptr : &it->values;
}

void KeyedListModel::sync(std::vector<Entry> next) {
  const int oldCount = count();
  // Rows whose key left the list, from the back so indexes stay valid.
  for (int i = count() - 1; i >= 0; --i) {
    const QString& key = rows_[static_cast<size_t>(i)].key;
    if (std::any_of(next.begin(), next.end(), [&](const Entry& row) { return row.key == key; }))
      continue;
    beginRemoveRows({}, i, i);
    rows_.erase(rows_.begin() + i);
    endRemoveRows();
  }

  for (int i = 0; i < static_cast<int>(next.size()); ++i) {
    Entry& wanted = next[static_cast<size_t>(i)];
    auto found = std::find_if(rows_.begin() + i, rows_.end(),
                              [&](const Entry& row) { return row.key == wanted.key; });
    if (found == rows_.end()) {
      beginInsertRows({}, i, i);
      rows_.insert(rows_.begin() + i, std::move(wanted));
      endInsertRows();
      continue;
    }
    int from = static_cast<int>(found - rows_.begin());
    if (from != i) {
      beginMoveRows({}, from, from, {}, i);
      Entry moved = std::move(*found);
      rows_.erase(found);
      rows_.insert(rows_.begin() + i, std::move(moved));
      endMoveRows();
    }
    QVector<QVariant>& current = rows_[static_cast<size_t>(i)].values;
    QList<int> changed;
    for (int r = 0; r < current.size(); ++r) {
      if (current[r] == wanted.values[r]) continue;
      current[r] = wanted.values[r];
      changed << Qt::UserRole + 1 + r;
    }
    if (!changed.isEmpty()) emit dataChanged(index(i), index(i), changed);
  }
  if (count() != oldCount) emit countChanged();
}

}  // namespace mixelot
