#include "app/ClipDropTarget.h"

#include <QDropEvent>
#include <QTableView>

namespace loopstage::app {

ClipDropTarget::ClipDropTarget(QTableView* table, QObject* parent)
    : QObject(parent), table_(table) {}

void ClipDropTarget::watch(QWidget* widget) {
    widget->setAcceptDrops(true);
    widget->installEventFilter(this);
}

bool ClipDropTarget::accepts(const QMimeData* data) const {
    // The table is opened to drops only when set-up completed; the other targets follow it.
    return table_->viewport()->acceptDrops() && table_->model() &&
           table_->model()->canDropMimeData(data, Qt::CopyAction, -1, -1, {});
}

bool ClipDropTarget::dropBelowLastRow(const QMimeData* data) const {
    return table_->model() && table_->model()->dropMimeData(data, Qt::CopyAction, -1, -1, {});
}

bool ClipDropTarget::eventFilter(QObject*, QEvent* event) {
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            drag->setDropAction(Qt::CopyAction);
            drag->setAccepted(accepts(drag->mimeData()));
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            drop->setDropAction(Qt::CopyAction);
            drop->setAccepted(accepts(drop->mimeData()) && dropBelowLastRow(drop->mimeData()));
            return true;
        }
        default:
            return false;
    }
}

}  // namespace loopstage::app
