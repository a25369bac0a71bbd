#pragma once

#include <QAbstractTableModel>

namespace loopstage::musician {
class Musician;
}

namespace loopstage::orchestra {

class Orchestra;

// A row's tooltip: the clip's facts (size, frame rate, codec, duration) and live figures.
QString musicianToolTip(const musician::Musician& musician);
// What the user is told of a clip whose decoder gave up (empty while it has not).
QString gaveUpText(const musician::Musician& musician);

// Serves the orchestra's table data source to a QTableView: rows, columns by identifier (header
// data under IdentifierRole), editing, the check box of the visible column, the read-only video
// column, and file drops, all passed on to the orchestra.
//
// Threads: main thread only, like the table.
class MusicianTableModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    static constexpr int IdentifierRole = Qt::UserRole + 1;

    explicit MusicianTableModel(Orchestra* orchestra, QObject* parent = nullptr);

    static const QStringList& columnIdentifiers();
    int columnOfIdentifier(const QString& identifier) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    QStringList mimeTypes() const override;
    Qt::DropActions supportedDropActions() const override;
    bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                         const QModelIndex& parent) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;

    // The orchestra's list gains or loses a row: told before and after, as views need.
    void beginInsertRow(int row);
    void endInsertRow();
    void beginRemoveRow(int row);
    void endRemoveRow();
    // A row's clip was replaced: its cells and tool tip are to be asked for again.
    void rowReplaced(int row);
    // The orchestra is going away: from now on the model has no rows. The view outlives the
    // controller while the window closes, and still asks.
    void detachOrchestra();

private:
    Orchestra* orchestra_;
};

}  // namespace loopstage::orchestra
