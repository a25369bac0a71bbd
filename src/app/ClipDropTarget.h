#pragma once

#include <QObject>

class QMimeData;
class QTableView;
class QWidget;

namespace loopstage::app {

// Drops outside the table's rows (on the stage or on the area below the table) take the path of
// a drop below the table's last row: the table's model with no row and no parent, as the table's
// own viewport passes it. So the rules (first file only, refusals and their messages) are the
// table's; files chosen in the Add clips dialog end in the same place (Orchestra::acceptFile).
//
// Threads: main thread only, like the widgets it watches.
class ClipDropTarget final : public QObject {
    Q_OBJECT

public:
    ClipDropTarget(QTableView* table, QObject* parent);

    // The widget accepts file drags while the table does, and its drops go below the last row.
    void watch(QWidget* widget);
    bool dropBelowLastRow(const QMimeData* data) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool accepts(const QMimeData* data) const;

    QTableView* table_;
};

}  // namespace loopstage::app
