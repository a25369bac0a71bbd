#pragma once

#include <QUndoCommand>
#include <functional>
#include <vector>

#include "orchestra/Orchestra.h"

namespace loopstage::app {

// What the table's changes become on the window's undo stack. Each command acts through the
// orchestra (and its table model), so the stage and the table follow. A change that was made
// already when its command is pushed (a drop, an edit) skips its first redo. An undo or redo
// that cannot be carried out (a clip's file went away meanwhile) says so through `failed`.
//
// Threads: the window's thread, like the stack.
struct UndoContext {
    orchestra::Orchestra* orchestra = nullptr;
    std::function<void(const QVariant&, const QString& column, int row)> setCell;
    std::function<void(const QString& what)> failed;
};

class TableCommand : public QUndoCommand {
public:
    TableCommand(UndoContext context, const QString& text, bool done)
        : QUndoCommand(text), c_(std::move(context)), skipRedo_(done) {}
    void undo() final;
    void redo() final;

protected:
    virtual bool undoChange() = 0;
    virtual bool redoChange() = 0;
    UndoContext c_;

private:
    bool skipRedo_;
};

// A musician added at a row (a drop, Add clips, or a show's clip).
class AddCommand final : public TableCommand {
public:
    AddCommand(UndoContext c, int row, orchestra::MusicianRecord record, bool done);

private:
    bool undoChange() override;
    bool redoChange() override;
    int row_;
    orchestra::MusicianRecord record_;
};

// Musicians taken out; undo opens their files again and puts them back where they were.
class RemoveCommand final : public TableCommand {
public:
    RemoveCommand(UndoContext c, std::vector<int> rows);

private:
    bool undoChange() override;
    bool redoChange() override;
    std::vector<int> rows_;  // ascending
    std::vector<orchestra::MusicianRecord> records_;
};

class ReplaceCommand final : public TableCommand {
public:
    ReplaceCommand(UndoContext c, int row, QString before, QString after);

private:
    bool undoChange() override;
    bool redoChange() override;
    int row_;
    QString before_, after_;
};

// A cell edited or a visible flag ticked.
class EditCommand final : public TableCommand {
public:
    EditCommand(UndoContext c, const orchestra::TableChange& change);

private:
    bool undoChange() override;
    bool redoChange() override;
    orchestra::TableChange change_;
};

}  // namespace loopstage::app
