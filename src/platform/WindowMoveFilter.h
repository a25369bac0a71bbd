#pragma once

#include <QObject>
#include <functional>

namespace loopstage::platform {

// Calls back on the main thread whenever any top-level window moved. Installed on the
// application for its whole life; removed when destroyed, so no notification reaches the
// subscriber after that.
class WindowMoveFilter final : public QObject {
    Q_OBJECT

public:
    explicit WindowMoveFilter(std::function<void()> onWindowMoved);
    ~WindowMoveFilter() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> onWindowMoved_;
};

}  // namespace loopstage::platform
