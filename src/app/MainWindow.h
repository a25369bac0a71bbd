#pragma once

#include <QMainWindow>
#include <QMargins>
#include <QVector3D>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "orchestra/Orchestra.h"
#include "orchestra/ShowFile.h"

class QAction;
template <typename T>
class QFutureWatcher;
class QLabel;
class QTableView;
class QUndoStack;
class QMenu;
class QCloseEvent;
class QKeyEvent;
class QToolButton;

namespace loopstage::orchestra {
class Orchestra;
struct TableChange;
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
struct UndoContext;
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

    // File > Open show... and Open recent: replaces the stage by a show, asking first about
    // unsaved changes. False, with why in `error`, when the file is not a show this program
    // reads; the show that was open then stays as it was. The show's clips join one after the
    // other, the window answering between them; a clip that cannot be opened keeps its row,
    // marked.
    bool openShowFile(const QString& path, QString* error);
    // File > Save show (as...): false, with why in `error`, when it could not be written; the
    // file that was there stays whole then.
    bool saveShowFile(const QString& path, QString* error);
    orchestra::Show currentShow() const;
    const QString& showPath() const { return showPath_; }
    bool isShowModified() const { return currentShow() != savedShow_; }
    // The show's clips still waiting to join.
    int clipsStillLoading() const { return static_cast<int>(loading_.size()); }

    // Edit > Remove musician: the selected rows (or the current one), as one undo step.
    void removeSelectedMusicians();
    QUndoStack* undoStack() const { return undoStack_; }

    // A billboard taken with the pointer on the stage (selected, and moved while the button is
    // held); nullopt when none is.
    struct StageDrag {
        int row = -1;
        orchestra::MusicianRecord origin;  // where it stood when taken: Esc and undo go back
        orchestra::MusicianRecord start;   // where it stood when this kind of move began
        QVector3D grab;                    // the point taken, where this kind of move began
        bool height = false;               // Shift: up and down instead of over the ground
    };
    const std::optional<StageDrag>& stageDrag() const { return stageDrag_; }

    // Edit > Arrange in a row / in a grid: the selected musicians (all, when none is) side by
    // side across the camera's view, in table order, near enough to be seen whole, each seen
    // clear of the others from where the camera stands (a grid's back ranks stand higher, as
    // on risers). One undo step.
    void arrangeMusicians(bool grid);

    // The stage alone on the screen that shows the window, or the whole window back.
    void setStageFullScreen(bool on);
    bool isStageFullScreen() const { return stageFullScreen_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Lets the focused table, slider or button take the stage keys it has a use for, sends Esc
    // from the table to the stage, and gives the stage the focus when it is clicked.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* addWindowAction(const QString& objectName, const QString& text,
                             const QList<QKeySequence>& keys, std::function<void()> effect);
    bool usesKey(const QObject* widget, QKeyCombination key) const;
    void reportDropProblem(const QString& text);
    UndoContext undoContext();
    void recordTableChange(const orchestra::TableChange& change);
    void undoFailed(const QString& what);
    bool stageMouse(QEvent* event);
    void dragTo(const QPointF& windowPos, bool height);
    void endStageDrag(bool keep);
    void enableLeaveFullScreen();
    // Musicians moved already (`before`: where they stood) become one undo step.
    void recordMoves(const QString& text, const std::vector<orchestra::MusicianRecord>& before,
                     const std::vector<int>& rows);
    // Save / Discard / Cancel for unsaved changes, without blocking the show; `then` runs
    // unless the answer was Cancel (or the save failed).
    void askToSave(std::function<void()> then);
    void saveShow(std::function<void()> then);
    void saveShowAs(std::function<void()> then);
    void openShowDialog();
    void loadNextClip();
    void updateTitle();
    void rememberRecent(const QString& path);
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

    QString showPath_;
    orchestra::Show savedShow_;  // as last opened or saved
    QList<orchestra::ShowMusician> loading_;
    QStringList loadProblems_;
    QMenu* recentMenu_ = nullptr;
    bool closeAnswered_ = false;
    QUndoStack* undoStack_ = nullptr;
    bool replayingUndo_ = false;  // changes made by undo and redo are not recorded again

    std::optional<StageDrag> stageDrag_;

    bool stageFullScreen_ = false;
    QRect normalGeometry_;
    Qt::WindowStates statesBeforeFullScreen_;
    QMargins normalMargins_;
};

}  // namespace loopstage::app
