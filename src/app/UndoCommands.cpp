#include "app/UndoCommands.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>

namespace loopstage::app {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("UndoCommands", text); }

}  // namespace

void TableCommand::undo() {
    if (!undoChange()) c_.failed(tr("cannot undo %1").arg(text()));
}

void TableCommand::redo() {
    if (std::exchange(skipRedo_, false)) return;
    if (!redoChange()) c_.failed(tr("cannot redo %1").arg(text()));
}

AddCommand::AddCommand(UndoContext c, int row, orchestra::MusicianRecord record, bool done)
    : TableCommand(std::move(c), tr("adding %1").arg(record.name), done),
      row_(row),
      record_(std::move(record)) {}

bool AddCommand::undoChange() {
    // Whatever was edited on the row since goes back with it when the add is redone.
    record_ = c_.orchestra->recordOf(row_);
    return c_.orchestra->removeMusician(row_);
}

bool AddCommand::redoChange() { return c_.orchestra->insertMusician(row_, record_); }

RemoveCommand::RemoveCommand(UndoContext c, std::vector<int> rows)
    : TableCommand(std::move(c),
                   rows.size() == 1 ? tr("removing a musician") : tr("removing musicians"), false),
      rows_(std::move(rows)) {
    std::sort(rows_.begin(), rows_.end());
    rows_.erase(std::unique(rows_.begin(), rows_.end()), rows_.end());
}

bool RemoveCommand::redoChange() {
    records_.clear();
    for (const int row : rows_) records_.push_back(c_.orchestra->recordOf(row));
    // From the last row up, so the rows still to go keep their numbers.
    bool all = true;
    for (auto row = rows_.rbegin(); row != rows_.rend(); ++row)
        all = c_.orchestra->removeMusician(*row) && all;
    return all;
}

bool RemoveCommand::undoChange() {
    bool all = true;
    for (size_t i = 0; i < rows_.size(); ++i)
        all = c_.orchestra->insertMusician(rows_[i], records_[i]) && all;
    return all;
}

ReplaceCommand::ReplaceCommand(UndoContext c, int row, QString before, QString after)
    : TableCommand(std::move(c), tr("replacing a clip"), true),
      row_(row),
      before_(std::move(before)),
      after_(std::move(after)) {}

bool ReplaceCommand::undoChange() { return c_.orchestra->replaceClip(row_, before_); }
bool ReplaceCommand::redoChange() { return c_.orchestra->replaceClip(row_, after_); }

EditCommand::EditCommand(UndoContext c, const orchestra::TableChange& change)
    : TableCommand(std::move(c), tr("editing a cell"), true), change_(change) {}

bool EditCommand::undoChange() {
    if (change_.row >= c_.orchestra->numberOfRowsInTableView()) return false;
    c_.setCell(change_.before, change_.column, change_.row);
    return true;
}

bool EditCommand::redoChange() {
    if (change_.row >= c_.orchestra->numberOfRowsInTableView()) return false;
    c_.setCell(change_.after, change_.column, change_.row);
    return true;
}

}  // namespace loopstage::app
