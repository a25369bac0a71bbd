#pragma once

#include <QMainWindow>
#include <QMargins>
#include <deque>
#include <functional>
#include <memory>

class QAction;
template <typename T>
class QFutureWatcher;
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
namespace loopstage::media {
struct ProbeResult;
}

namespace loopstage::app {

class ClipDropTarget;
class HelpDialog;
struct ReadoutSample;

// The main window, built the way an interface file would be: create the objects, set their
// outlets, connect the actions, then give each its awakeFromNib().
//
// Threads: main thread. Teardown: the orchestra goes first (it stops the render ticks), then the
// widgets and the stage view. An accepted close destroys the native windows before that, while
// ticks may still run: the stage view then leaves its surface alone.
class MainWindow final : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    orchestra::Orchestra* orchestra() const { return orchestra_.get(); }
    stage::OpenGLView* openGLView() const { return openGLView_; }
    QWidget* stageContainer() const { return stageContainer_; }
    QTableView* musicianView() const { return musicianView_; }
    QWidget* dropArea() const { return dropArea_; }
    stage::HeightSlider* cameraHeightSlider() const { return cameraHeightSlider_; }
    orchestra::MusicianTableModel* tableModel() const { return tableModel_; }
    static constexpr int kReadoutIntervalMs = 250;
    static constexpr int kMessageMs = 6000;

    QAction* action(const QString& objectName) const;
    QLabel* readout() const { return readout_; }
    void updateReadout();
    void showHelp();
    bool isEditingCell() const;

    // File > Add clips...: a dialog for movie files, whose choice goes to addClipFiles().
    void openAddClipsDialog();
    // Each file, in order, as if dropped below the table's last row, but probed off the window's
    // thread: the call returns at once, and the files join in the order given as they and those
    // before them are probed. The refusals among them are reported together, as a refused drop
    // is, once the last is known.
    void addClipFiles(const QStringList& paths);

    // The stage alone on the screen that shows the window, or the whole window back.
    void setStageFullScreen(bool on);
    bool isStageFullScreen() const { return stageFullScreen_; }

private:
protected:
    // Lets the focused table, slider or button take the stage keys it has a use for, sends Esc
    // from the table to the stage, and gives the stage the focus when it is clicked.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* addWindowAction(const QString& objectName, const QString& text,
                             const QList<QKeySequence>& keys, std::function<void()> effect);
    bool usesKey(const QObject* widget, QKeyCombination key) const;
    void reportDropProblem(const QString& text);
    void addProbedClips();

    std::unique_ptr<orchestra::Orchestra> orchestra_;
    stage::OpenGLView* openGLView_ = nullptr;  // owned by its window container
    QWidget* stageContainer_ = nullptr;
    QTableView* musicianView_ = nullptr;
    QWidget* dropArea_ = nullptr;
    QWidget* controlsPanel_ = nullptr;
    stage::HeightSlider* cameraHeightSlider_ = nullptr;
    orchestra::MusicianTableModel* tableModel_ = nullptr;
    ClipDropTarget* clipDrops_ = nullptr;
    QLabel* readout_ = nullptr;
    // The play and camera actions: their keys are ones that widgets use too.
    QList<QAction*> stageActions_;
    std::unique_ptr<ReadoutSample> lastReadout_;
    HelpDialog* help_ = nullptr;
    QString clipFolder_;
    // Set while addProbedClips() runs: refusals are gathered and shown as one message.
    QStringList* gatheredProblems_ = nullptr;
    // Files given to addClipFiles() and not yet added or refused, in order, with their probes.
    struct ChosenClip {
        QString path;
        QFutureWatcher<media::ProbeResult>* probe;  // a child of the window
        bool lastOfChoice;
    };
    std::deque<ChosenClip> chosenClips_;
    QStringList chosenProblems_;

    bool stageFullScreen_ = false;
    QRect normalGeometry_;
    Qt::WindowStates statesBeforeFullScreen_;
    QMargins normalMargins_;
};

}  // namespace loopstage::app
