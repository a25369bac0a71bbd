#include "support/LogCapture.h"

#include <QtGlobal>

namespace loopstage::test {

namespace {

std::mutex gMutex;
QStringList gLines;
QtMessageHandler gPrevious = nullptr;

void capture(QtMsgType, const QMessageLogContext&, const QString& message) {
    std::lock_guard guard(gMutex);
    gLines.append(message);
}

}  // namespace

LogCapture::LogCapture() {
    clear();
    gPrevious = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture() { qInstallMessageHandler(gPrevious); }

QStringList LogCapture::lines() const {
    std::lock_guard guard(gMutex);
    return gLines;
}

int LogCapture::count(const QString& line) const {
    std::lock_guard guard(gMutex);
    return static_cast<int>(gLines.count(line));
}

QStringList LogCapture::startingWith(const QString& prefix) const {
    std::lock_guard guard(gMutex);
    QStringList found;
    for (const QString& line : gLines) {
        if (line.startsWith(prefix)) found.append(line);
    }
    return found;
}

void LogCapture::clear() {
    std::lock_guard guard(gMutex);
    gLines.clear();
}

}  // namespace loopstage::test
