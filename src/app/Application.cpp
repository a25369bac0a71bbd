#include "app/Application.h"

#include <QApplication>

#include "app/MainWindow.h"
#include "platform/Logging.h"

namespace loopstage::app {

void prepareApplication() {
    QCoreApplication::setAttribute(Qt::AA_DontCheckOpenGLContextThreadAffinity);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, false);
    platform::installLogFormat();
}

int applicationMain(int argc, char** argv) {
    prepareApplication();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("loopstage"));
    MainWindow window;
    window.show();
    return QApplication::exec();
}

}  // namespace loopstage::app
