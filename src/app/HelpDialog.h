#pragma once

#include <QDialog>

namespace loopstage::app {

// The keys and how clips come onto the stage. Not modal: it can stay open while playing.
class HelpDialog final : public QDialog {
    Q_OBJECT

public:
    explicit HelpDialog(QWidget* parent = nullptr);
    static QString helpText();
};

}  // namespace loopstage::app
