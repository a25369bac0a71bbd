#include "platform/WindowMoveFilter.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWindow>

namespace loopstage::platform {

WindowMoveFilter::WindowMoveFilter(std::function<void()> onWindowMoved)
    : onWindowMoved_(std::move(onWindowMoved)) {
    if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
}

WindowMoveFilter::~WindowMoveFilter() {
    if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(this);
}

bool WindowMoveFilter::eventFilter(QObject* watched, QEvent* event) {
    // Widget windows move through their QWindow too, so watching QWindows alone sees every
    // top-level move once.
    if (event->type() == QEvent::Move) {
        if (const auto* window = qobject_cast<const QWindow*>(watched);
            window && window->isTopLevel()) {
            onWindowMoved_();
        }
    }
    return false;
}

}  // namespace loopstage::platform
