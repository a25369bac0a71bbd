#pragma once

#include <QMainWindow>
#include <memory>

class QAction;
class QLabel;
class QTableView;
class QToolButton;

namespace loopstage::orchestra {
class Orchestra;
class MusicianTableModel;
}  // namespace loopstage::orchestra
namespace loopstage::stage {
class OpenGLView;
class HeightSlider;
}  // namespace loopstage::stage

namespace loopstage::app {

class HelpDialog;
struct ReadoutSample;

// The main window, built the way an interface file would be: create the objects, set their
// outlets, connect the actions, then give each its awakeFromNib().
//
// Threads: main thread. Teardown: the orchestra goes first (it stops the render ticks), then
// the widgets and the stage view.
class MainWindow final : public QMainWindow {
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    orchestra::Orchestra* orchestra() const { return orchestra_.get(); }
    stage::OpenGLView* openGLView() const { return openGLView_; }
    QTableView* musicianView() const { return musicianView_; }
    stage::HeightSlider* cameraHeightSlider() const { return cameraHeightSlider_; }
    orchestra::MusicianTableModel* tableModel() const { return tableModel_; }
    static constexpr int kReadoutIntervalMs = 250;

    QAction* action(const QString& objectName) const;
    QLabel* readout() const { return readout_; }
    void updateReadout();
    void showHelp();
    bool isEditingCell() const;

private:
    QAction* addWindowAction(const QString& objectName, const QString& text,
                             const QList<QKeySequence>& keys, std::function<void()> effect,
                             bool onlyWhenNotEditing = true);

    std::unique_ptr<orchestra::Orchestra> orchestra_;
    stage::OpenGLView* openGLView_ = nullptr;  // owned by its window container
    QTableView* musicianView_ = nullptr;
    stage::HeightSlider* cameraHeightSlider_ = nullptr;
    orchestra::MusicianTableModel* tableModel_ = nullptr;
    QLabel* readout_ = nullptr;
    std::unique_ptr<ReadoutSample> lastReadout_;
    HelpDialog* help_ = nullptr;
};

}  // namespace loopstage::app
