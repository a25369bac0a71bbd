#pragma once

#include <QString>
#include <QStringList>
#include <mutex>

namespace loopstage::test {

// Collects every Qt log message (from any thread) while it exists; restores the previous
// handler when it goes. One at a time.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    int count(const QString& line) const;
    // Lines starting with a prefix.
    QStringList startingWith(const QString& prefix) const;
    void clear();
};

}  // namespace loopstage::test
