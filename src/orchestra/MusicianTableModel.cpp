#include "orchestra/MusicianTableModel.h"

#include <QApplication>
#include <QLocale>
#include <QMimeData>
#include <QStyle>
#include <cmath>

#include "media/Movie.h"
#include "musician/Musician.h"
#include "orchestra/Orchestra.h"

namespace loopstage::orchestra {

namespace {

QString titleOf(const QString& identifier) {
    if (identifier == ID_COL_NAME) return MusicianTableModel::tr("Name");
    if (identifier == ID_COL_VISIBLE) return MusicianTableModel::tr("Visible");
    if (identifier == ID_COL_VIDEO) return MusicianTableModel::tr("Video file");
    if (identifier == ID_COL_X) return QStringLiteral("x");
    if (identifier == ID_COL_Y) return QStringLiteral("y");
    if (identifier == ID_COL_Z) return QStringLiteral("z");
    return {};
}

bool isCoordinate(const QString& identifier) {
    return identifier == ID_COL_X || identifier == ID_COL_Y || identifier == ID_COL_Z;
}

// Qt says where a drop lands as (row, parent): a valid parent is the item dropped on; otherwise
// the row the drop goes above, or -1 below the last row.
int dropRow(int row, const QModelIndex& parent) { return parent.isValid() ? parent.row() : row; }
DropOperation dropOperation(const QModelIndex& parent) {
    return parent.isValid() ? DropOperation::On : DropOperation::Above;
}

}  // namespace

QString gaveUpText(const musician::Musician& m) {
    const media::MovieCounters counters = m.channelMovie()->counters();
    if (!counters.gaveUp) return {};
    if (counters.framesDecoded == 0) {
        return MusicianTableModel::tr("no picture could be decoded; it shows nothing");
    }
    return MusicianTableModel::tr("stopped: no more pictures could be read; the last one stays");
}

QString musicianToolTip(const musician::Musician& m) {
    if (!m.channelMovie()) return m.videoFilename() + QLatin1Char('\n') + m.problem();
    const media::Movie& movie = *m.channelMovie();
    QString facts;
    if (movie.hasVideo()) {
        facts = MusicianTableModel::tr("%1 x %2, %3 frames/s, %4, %5 s")
                    .arg(movie.width())
                    .arg(movie.height())
                    .arg(movie.frameRate(), 0, 'f', 2)
                    .arg(QString::fromStdString(movie.codecName()))
                    .arg(static_cast<double>(movie.durationNs()) / 1e9, 0, 'f', 2);
        if (movie.rotationDegrees() != 0) {
            facts += MusicianTableModel::tr(", turned %1 degrees").arg(movie.rotationDegrees());
        }
    } else {
        facts = MusicianTableModel::tr("no video track");
    }
    if (const QString gaveUp = gaveUpText(m); !gaveUp.isEmpty()) facts += '\n' + gaveUp;
    const media::MovieCounters counters = movie.counters();
    return MusicianTableModel::tr("%1\n%2\nframes shown: %3, late: %4, loops: %5")
        .arg(m.videoFilename(), facts)
        .arg(static_cast<qlonglong>(m.stats().framesTaken.load(std::memory_order_relaxed)))
        .arg(static_cast<qlonglong>(counters.framesSkippedLate))
        .arg(static_cast<qlonglong>(m.stats().wraps.load(std::memory_order_relaxed)));
}

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
    return orchestra_->numberOfRowsInTableView();
}

int MusicianTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columnIdentifiers().size());
}

QVariant MusicianTableModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const QString& column = columnIdentifiers().at(index.column());
    const QVariant value = orchestra_->objectValueForTableColumn(column, index.row());
    if (column == ID_COL_VISIBLE && role != Qt::ToolTipRole) {
        // Shown as a check box only, never as the words "true" or "false".
        if (role == Qt::CheckStateRole) return value.toBool() ? Qt::Checked : Qt::Unchecked;
        return {};
    }
    if (role == Qt::DisplayRole || role == Qt::EditRole) return value;
    if (role == Qt::AccessibleTextRole && isCoordinate(column)) {
        // Read out as the cell shows it (the delegate's float text), not as the double nearest
        // to the float.
        return QLocale().toString(value.toFloat());
    }
    const musician::Musician& m =
        *orchestra_->musicianList()->at(static_cast<std::size_t>(index.row()));
    if (role == Qt::ToolTipRole) return musicianToolTip(m);
    // A row whose clip could not be opened is marked where the file is named.
    if (column == ID_COL_VIDEO && !m.channelMovie()) {
        if (role == Qt::DecorationRole)
            return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
        if (role == Qt::ForegroundRole)
            return QApplication::palette().brush(QPalette::PlaceholderText);
    }
    return {};
}

bool MusicianTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return false;
    }
    const QString& column = columnIdentifiers().at(index.column());
    QVariant edited = value;
    if (column == ID_COL_VISIBLE) {
        if (role != Qt::CheckStateRole) return false;
        edited = value.toInt() == Qt::Checked;
    } else if (role != Qt::EditRole || column == ID_COL_VIDEO) {
        return false;
    }
    if (isCoordinate(column)) {
        // A cell typed into with no number keeps its coordinate instead of jumping to 0; "inf"
        // and "nan" read as numbers but place a billboard nowhere.
        bool isNumber = false;
        const float coordinate = value.toFloat(&isNumber);
        if (!isNumber || !std::isfinite(coordinate)) return false;
    }
    orchestra_->setObjectValue(edited, column, index.row());
    // The orchestra does not reload after an edit; only the edited cell is shown anew.
    emit dataChanged(index, index, {role, Qt::DisplayRole});
    return true;
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
    const QString& column = columnIdentifiers().at(index.column());
    if (column == ID_COL_VISIBLE) return flags | Qt::ItemIsUserCheckable;
    if (column != ID_COL_VIDEO) flags |= Qt::ItemIsEditable;
    return flags;
}

QStringList MusicianTableModel::mimeTypes() const { return {QStringLiteral("text/uri-list")}; }

Qt::DropActions MusicianTableModel::supportedDropActions() const { return Qt::CopyAction; }

bool MusicianTableModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int row, int,
                                         const QModelIndex& parent) const {
    return orchestra_ && orchestra_->validateDrop(data, dropRow(row, parent),
                                                  dropOperation(parent)) == DragOperation::Copy;
}

bool MusicianTableModel::dropMimeData(const QMimeData* data, Qt::DropAction, int row, int,
                                      const QModelIndex& parent) {
    return orchestra_ && orchestra_->acceptDrop(data, dropRow(row, parent), dropOperation(parent));
}

void MusicianTableModel::detachOrchestra() {
    beginResetModel();
    orchestra_ = nullptr;
    endResetModel();
}

void MusicianTableModel::beginInsertRow(int row) { beginInsertRows({}, row, row); }

void MusicianTableModel::endInsertRow() { endInsertRows(); }

void MusicianTableModel::beginRemoveRow(int row) { beginRemoveRows({}, row, row); }

void MusicianTableModel::endRemoveRow() { endRemoveRows(); }

void MusicianTableModel::rowReplaced(int row) {
    // The whole row in one range: a view refreshes an open editor only for a single-cell
    // change, so a half-typed name survives the drop.
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

}  // namespace loopstage::orchestra
