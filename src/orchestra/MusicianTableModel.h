#pragma once

#include <QAbstractTableModel>

namespace loopstage::orchestra {

class Orchestra;

// Serves the orchestra's musicians to a QTableView: one row per musician, columns told apart by
// their identifiers (header data under IdentifierRole).
//
// Threads: main thread only, like the table.
class MusicianTableModel final : public QAbstractTableModel {
public:
    static constexpr int IdentifierRole = Qt::UserRole + 1;

    explicit MusicianTableModel(Orchestra* orchestra, QObject* parent = nullptr);

    static const QStringList& columnIdentifiers();
    int columnOfIdentifier(const QString& identifier) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The orchestra's list changed as a whole: ask again for rows and values.
    void reloadData();

private:
    Orchestra* orchestra_;
};

}  // namespace loopstage::orchestra
