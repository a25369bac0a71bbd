#include "orchestra/MusicianTableModel.h"

#include "musician/Musician.h"
#include "orchestra/Orchestra.h"

namespace loopstage::orchestra {

namespace {

QString titleOf(const QString& identifier) {
    if (identifier == ID_COL_NAME) return QObject::tr("Name");
    if (identifier == ID_COL_VISIBLE) return QObject::tr("Visible");
    if (identifier == ID_COL_VIDEO) return QObject::tr("Video file");
    if (identifier == ID_COL_X) return QStringLiteral("x");
    if (identifier == ID_COL_Y) return QStringLiteral("y");
    if (identifier == ID_COL_Z) return QStringLiteral("z");
    return {};
}

}  // namespace

MusicianTableModel::MusicianTableModel(Orchestra* orchestra, QObject* parent)
    : QAbstractTableModel(parent), orchestra_(orchestra) {}

const QStringList& MusicianTableModel::columnIdentifiers() {
    static const QStringList identifiers{ID_COL_NAME, ID_COL_VISIBLE, ID_COL_VIDEO,
                                         ID_COL_X,    ID_COL_Y,       ID_COL_Z};
    return identifiers;
}

int MusicianTableModel::columnOfIdentifier(const QString& identifier) const {
    return static_cast<int>(columnIdentifiers().indexOf(identifier));
}

int MusicianTableModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || !orchestra_) return 0;
    return static_cast<int>(orchestra_->musicianCount());
}

int MusicianTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columnIdentifiers().size());
}

QVariant MusicianTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const QString& column = columnIdentifiers().at(index.column());
    musician::Musician* musician = orchestra_->musicianList()->at(static_cast<std::size_t>(index.row()));
    if (column == ID_COL_VISIBLE) {
        if (role == Qt::CheckStateRole) return musician->visible() ? Qt::Checked : Qt::Unchecked;
        return {};
    }
    if (role != Qt::DisplayRole && role != Qt::EditRole) return {};
    const graphics::Vector4* position = musician->position();
    if (column == ID_COL_NAME) return musician->musicianName();
    if (column == ID_COL_VIDEO) return musician->videoFilename();
    if (column == ID_COL_X) return musician::Musician::loadCoordinate(position->x);
    if (column == ID_COL_Y) return musician::Musician::loadCoordinate(position->y);
    if (column == ID_COL_Z) return musician::Musician::loadCoordinate(position->z);
    return {};
}

QVariant MusicianTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnIdentifiers().size()) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    const QString& identifier = columnIdentifiers().at(section);
    if (role == IdentifierRole) return identifier;
    if (role == Qt::DisplayRole) return titleOf(identifier);
    return {};
}

Qt::ItemFlags MusicianTableModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractTableModel::flags(index) | Qt::ItemIsDropEnabled;
    if (!index.isValid()) return flags;
    if (columnIdentifiers().at(index.column()) == ID_COL_VISIBLE) flags |= Qt::ItemIsUserCheckable;
    return flags;
}

void MusicianTableModel::reloadData() {
    beginResetModel();
    endResetModel();
}

}  // namespace loopstage::orchestra
