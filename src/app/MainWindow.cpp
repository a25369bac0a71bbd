#include "app/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFutureWatcher>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QUndoStack>
#include <QUrl>
#include <QVector4D>
#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "app/ClipDropTarget.h"
#include "app/HelpDialog.h"
#include "app/StatusReadout.h"
#include "app/UndoCommands.h"
#include "media/Movie.h"
#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"

namespace loopstage::app {

namespace {

// A platform's standard keys, with the one people expect on every desktop first.
QList<QKeySequence> standardKeys(QKeySequence::StandardKey key, const QKeySequence& expected) {
    QList<QKeySequence> keys{expected};
    for (const QKeySequence& k : QKeySequence::keyBindings(key)) {
        if (!keys.contains(k)) keys << k;
    }
    return keys;
}

// A coordinate cell's editor: a number that Up and Down step by a tenth, shown as short as the
// float it stands for ("0.1", not "0.1000000"); the decimals kept are more than a float holds
// near 1, so committing an untouched value does not round it.
class CoordinateSpinBox final : public QDoubleSpinBox {
public:
    explicit CoordinateSpinBox(QWidget* parent) : QDoubleSpinBox(parent) {
        setDecimals(7);
        setRange(-std::numeric_limits<float>::max(), std::numeric_limits<float>::max());
        setSingleStep(0.1);
        setFrame(false);
    }
    QString textFromValue(double value) const override {
        return locale().toString(static_cast<float>(value), 'g', QLocale::FloatingPointShortest);
    }
};

class CoordinateDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex&) const override {
        return new CoordinateSpinBox(parent);
    }
};

QString movieFileFilter() {
    return MainWindow::tr("Movie files (%1);;All files (*)")
        .arg(QStringLiteral("*.mp4 *.m4v *.mov *.qt *.mkv *.webm *.avi *.mpg *.mpeg *.m2v *.ts "
                            "*.mts *.m2ts *.flv *.wmv *.asf *.ogv *.3gp *.3g2 *.mxf *.dv *.y4m "
                            "*.nut *.gif"));
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(tr("Untitled show") + QStringLiteral("[*] - loopstage"));

    orchestra_ = std::make_unique<orchestra::Orchestra>();
    openGLView_ = new stage::OpenGLView();
    stageContainer_ = QWidget::createWindowContainer(openGLView_);
    stageContainer_->setObjectName(QStringLiteral("stage"));
    stageContainer_->setMinimumSize(320, 240);
    stageContainer_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    stageContainer_->setAccessibleName(tr("Stage"));
    stageContainer_->setAccessibleDescription(
        tr("The musicians on stage; the camera keys act while it has the focus"));
    // The view itself never takes the focus (it is a native window of its own); its container
    // holds it for it, so a click or Tab gives the stage the keys.
    stageContainer_->setFocusPolicy(Qt::StrongFocus);
    stageContainer_->installEventFilter(this);
    openGLView_->setTitle(tr("Stage"));
    openGLView_->installEventFilter(this);

    musicianView_ = new QTableView();
    musicianView_->setObjectName(QStringLiteral("musicianTable"));
    tableModel_ = new orchestra::MusicianTableModel(orchestra_.get(), musicianView_);
    musicianView_->setModel(tableModel_);
    QHeaderView* header = musicianView_->horizontalHeader();
    header->setMinimumSectionSize(36);
    header->setDefaultSectionSize(52);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionResizeMode(tableModel_->columnOfIdentifier(orchestra::ID_COL_VIDEO),
                                 QHeaderView::Stretch);
    header->resizeSection(tableModel_->columnOfIdentifier(orchestra::ID_COL_NAME), 110);
    header->resizeSection(tableModel_->columnOfIdentifier(orchestra::ID_COL_VISIBLE), 56);
    musicianView_->verticalHeader()->setVisible(false);
    musicianView_->setWordWrap(false);
    // The end of a path names the file; the middle is the part to give up.
    musicianView_->setTextElideMode(Qt::ElideMiddle);
    musicianView_->setMinimumWidth(420);
    musicianView_->setAccessibleName(tr("Musicians"));
    // Tab leaves the table for the buttons and the stage; the arrows move between cells.
    musicianView_->setTabKeyNavigation(false);
    auto* coordinates = new CoordinateDelegate(musicianView_);
    for (const QString& column : {orchestra::ID_COL_X, orchestra::ID_COL_Y, orchestra::ID_COL_Z})
        musicianView_->setItemDelegateForColumn(tableModel_->columnOfIdentifier(column),
                                                coordinates);
    musicianView_->installEventFilter(this);
    // The selected rows' billboards are framed on the stage.
    connect(musicianView_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        for (int row = 0; row < orchestra_->numberOfRowsInTableView(); ++row)
            orchestra_->setOutlined(row, musicianView_->selectionModel()->isRowSelected(row));
    });

    // Once the rows fill the table there is no empty place below the last one left to drop
    // on; this strip stays below them whatever their number.
    auto* dropArea =
        new QLabel(tr("Drop movie files here to add them, or use File > Add clips..."));
    dropArea->setObjectName(QStringLiteral("dropArea"));
    dropArea->setAlignment(Qt::AlignCenter);
    dropArea->setWordWrap(true);
    dropArea->setFrameShape(QFrame::StyledPanel);
    dropArea->setFrameShadow(QFrame::Sunken);
    dropArea->setMinimumHeight(44);
    dropArea->setBackgroundRole(QPalette::Base);
    dropArea->setForegroundRole(QPalette::PlaceholderText);
    dropArea->setAutoFillBackground(true);
    dropArea_ = dropArea;

    clipDrops_ = new ClipDropTarget(musicianView_, this);
    clipDrops_->watch(dropArea_);
    clipDrops_->watch(stageContainer_);

    cameraHeightSlider_ = new stage::HeightSlider();
    cameraHeightSlider_->setObjectName(QStringLiteral("cameraHeightSlider"));
    cameraHeightSlider_->setToolTip(tr("Camera height"));
    cameraHeightSlider_->setAccessibleName(tr("Camera height"));
    cameraHeightSlider_->installEventFilter(this);

    // Outlets.
    orchestra_->musicianView = musicianView_;
    orchestra_->openGLView = openGLView_;
    openGLView_->anOrchestra = orchestra_.get();
    openGLView_->cameraHeightSlider = cameraHeightSlider_;

    // Actions.
    orchestra::Orchestra* controller = orchestra_.get();
    stage::OpenGLView* view = openGLView_;
    QAction* play =
        addWindowAction(QStringLiteral("togglePlayback"), tr("Play / Stop"), {Qt::Key_Space},
                        [controller] { controller->togglePlayback(); });
    play->setCheckable(true);
    QObject::connect(play, &QAction::triggered, this,
                     [play, controller] { play->setChecked(controller->isPlaying()); });
    QAction* forward = addWindowAction(QStringLiteral("goForward"), tr("Forward"), {Qt::Key_Up},
                                       [view] { view->goForward(); });
    QAction* backward = addWindowAction(QStringLiteral("goBackward"), tr("Back"), {Qt::Key_Down},
                                        [view] { view->goBackward(); });
    QAction* left =
        addWindowAction(QStringLiteral("goLeft"), tr("Left"), {Qt::Key_A, Qt::SHIFT | Qt::Key_Left},
                        [view] { view->goLeft(); });
    QAction* right =
        addWindowAction(QStringLiteral("goRight"), tr("Right"),
                        {Qt::Key_D, Qt::SHIFT | Qt::Key_Right}, [view] { view->goRight(); });
    QAction* turnLeft = addWindowAction(QStringLiteral("turnLeft"), tr("Turn left"), {Qt::Key_Left},
                                        [view] { view->turnLeft(); });
    QAction* turnRight = addWindowAction(QStringLiteral("turnRight"), tr("Turn right"),
                                         {Qt::Key_Right}, [view] { view->turnRight(); });
    QObject::connect(cameraHeightSlider_, &QSlider::valueChanged, this,
                     [view] { view->heightChanged(); });
    stageActions_ = {play, forward, backward, left, right, turnLeft, turnRight};

    QAction* addClips =
        addWindowAction(QStringLiteral("addClips"), tr("&Add clips..."),
                        standardKeys(QKeySequence::Open, QKeySequence(Qt::CTRL | Qt::Key_O)),
                        [this] { openAddClipsDialog(); });
    QAction* quit = addWindowAction(
        QStringLiteral("quit"), tr("&Quit"),
        standardKeys(QKeySequence::Quit, QKeySequence(Qt::CTRL | Qt::Key_Q)), [this] { close(); });
    QAction* fullScreen =
        addWindowAction(QStringLiteral("fullScreenStage"), tr("&Full-screen stage"),
                        standardKeys(QKeySequence::FullScreen, QKeySequence(Qt::Key_F11)),
                        [this] { setStageFullScreen(!stageFullScreen_); });
    fullScreen->setCheckable(true);
    // Only there while the stage is full screen: elsewhere Esc belongs to editors and dialogs.
    QAction* leaveFullScreen =
        addWindowAction(QStringLiteral("leaveFullScreen"), tr("Leave full screen"),
                        {Qt::Key_Escape}, [this] { setStageFullScreen(false); });
    leaveFullScreen->setEnabled(false);
    QAction* help = addWindowAction(QStringLiteral("help"), tr("Keys and clips..."), {Qt::Key_F1},
                                    [this] { showHelp(); });

    undoStack_ = new QUndoStack(this);
    orchestra_->onTableChange = [this](const orchestra::TableChange& c) { recordTableChange(c); };
    QAction* undo = undoStack_->createUndoAction(this, tr("&Undo"));
    undo->setObjectName(QStringLiteral("undo"));
    undo->setShortcuts(standardKeys(QKeySequence::Undo, QKeySequence(Qt::CTRL | Qt::Key_Z)));
    QAction* redo = undoStack_->createRedoAction(this, tr("&Redo"));
    redo->setObjectName(QStringLiteral("redo"));
    redo->setShortcuts(
        standardKeys(QKeySequence::Redo, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)));
    for (QAction* a : {undo, redo}) {
        a->setShortcutContext(Qt::WindowShortcut);
        addAction(a);
    }
    // Delete belongs to the table: elsewhere (a cell editor, a dialog) it keeps its own use.
    QAction* remove = new QAction(tr("&Remove musician"), this);
    remove->setObjectName(QStringLiteral("removeMusician"));
    remove->setShortcuts({QKeySequence::Delete, QKeySequence(Qt::Key_Backspace)});
    remove->setShortcutContext(Qt::WidgetShortcut);
    musicianView_->addAction(remove);
    connect(remove, &QAction::triggered, this, [this] { removeSelectedMusicians(); });

    QAction* openShow = addWindowAction(QStringLiteral("openShow"), tr("&Open show..."),
                                        {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O)},
                                        [this] { askToSave([this] { openShowDialog(); }); });
    QAction* saveShowAction =
        addWindowAction(QStringLiteral("saveShow"), tr("&Save show"),
                        standardKeys(QKeySequence::Save, QKeySequence(Qt::CTRL | Qt::Key_S)),
                        [this] { saveShow({}); });
    QAction* saveShowAsAction = addWindowAction(
        QStringLiteral("saveShowAs"), tr("Save show &as..."),
        {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)}, [this] { saveShowAs({}); });

    QMenu* fileMenu = menuBar()->addMenu(tr("&File"));
    fileMenu->addAction(openShow);
    recentMenu_ = fileMenu->addMenu(tr("Open &recent"));
    recentMenu_->setObjectName(QStringLiteral("recentShows"));
    connect(recentMenu_, &QMenu::aboutToShow, this, [this] {
        recentMenu_->clear();
        for (const QString& path :
             QSettings().value(QStringLiteral("recentShows")).toStringList()) {
            recentMenu_->addAction(path, this, [this, path] {
                askToSave([this, path] {
                    QString error;
                    if (!openShowFile(path, &error))
                        statusBar()->showMessage(
                            QFileInfo(path).fileName() + QStringLiteral(": ") + error, kMessageMs);
                });
            });
        }
        recentMenu_->setEnabled(!recentMenu_->isEmpty());
    });
    fileMenu->addAction(saveShowAction);
    fileMenu->addAction(saveShowAsAction);
    fileMenu->addSeparator();
    fileMenu->addAction(addClips);
    fileMenu->addSeparator();
    fileMenu->addAction(quit);
    QMenu* editMenu = menuBar()->addMenu(tr("&Edit"));
    editMenu->addAction(undo);
    editMenu->addAction(redo);
    editMenu->addSeparator();
    editMenu->addAction(remove);
    editMenu->addSeparator();
    for (const bool grid : {false, true}) {
        auto* arrange =
            new QAction(grid ? tr("Arrange in a &grid") : tr("Arrange in a r&ow"), this);
        arrange->setObjectName(grid ? QStringLiteral("arrangeGrid") : QStringLiteral("arrangeRow"));
        connect(arrange, &QAction::triggered, this, [this, grid] { arrangeMusicians(grid); });
        editMenu->addAction(arrange);
    }
    menuBar()->addMenu(tr("&View"))->addAction(fullScreen);
    menuBar()->addMenu(tr("&Help"))->addAction(help);

    auto button = [window = this](QAction* action) {
        auto* b = new QToolButton();
        b->setDefaultAction(action);
        b->setObjectName(action->objectName() + QStringLiteral("Button"));
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        // A click takes the focus, so an open cell editor ends as item views end it when the
        // focus leaves (its value committed) before the button acts. Tab reaches them; a
        // focused button takes Space for itself and leaves the arrows to the stage.
        b->setFocusPolicy(Qt::StrongFocus);
        b->installEventFilter(window);
        QStringList keys;
        for (const QKeySequence& key : action->shortcuts())
            keys << key.toString(QKeySequence::NativeText);
        b->setToolTip(action->text() + QStringLiteral(" (") + keys.join(QStringLiteral(", ")) +
                      QStringLiteral(")"));
        return b;
    };
    auto* controls = new QGridLayout();
    QToolButton* playButton = button(play);
    playButton->setMinimumWidth(120);
    controls->addWidget(playButton, 0, 0, 2, 1);
    controls->addWidget(button(turnLeft), 0, 1);
    controls->addWidget(button(forward), 0, 2);
    controls->addWidget(button(turnRight), 0, 3);
    controls->addWidget(button(left), 1, 1);
    controls->addWidget(button(backward), 1, 2);
    controls->addWidget(button(right), 1, 3);

    controlsPanel_ = new QWidget();
    auto* leftColumn = new QVBoxLayout(controlsPanel_);
    leftColumn->setContentsMargins(0, 0, 0, 0);
    auto* tableAndDropArea = new QVBoxLayout();
    tableAndDropArea->setSpacing(0);
    tableAndDropArea->addWidget(musicianView_, 1);
    tableAndDropArea->addWidget(dropArea_);
    leftColumn->addLayout(tableAndDropArea, 1);
    leftColumn->addLayout(controls);

    auto* central = new QWidget();
    auto* row = new QHBoxLayout(central);
    row->addWidget(controlsPanel_, 0);
    row->addWidget(stageContainer_, 1);
    row->addWidget(cameraHeightSlider_);
    normalMargins_ = row->contentsMargins();
    setCentralWidget(central);
    resize(1180, 640);
    setMinimumSize(760, 420);
    setWindowIcon(QIcon(QStringLiteral(":/loopstage/loopstage.svg")));

    // Figures a few times a second; a dropped file's trouble, or a clip's that gave up, shows on
    // the left for a while.
    readout_ = new QLabel();
    readout_->setObjectName(QStringLiteral("readout"));
    statusBar()->addPermanentWidget(readout_);
    orchestra_->onDropProblem = [this](const QString& text) { reportDropProblem(text); };
    auto* readoutTimer = new QTimer(this);
    readoutTimer->setInterval(kReadoutIntervalMs);
    connect(readoutTimer, &QTimer::timeout, this, [this] { updateReadout(); });
    readoutTimer->start();

    openGLView_->awakeFromNib();
    orchestra_->awakeFromNib();
    // Set-up that ended early leaves the table closed to drops; the dialog would add nothing.
    addClips->setEnabled(musicianView_->acceptDrops());
}

orchestra::Show MainWindow::currentShow() const {
    orchestra::Show show;
    show.camera = {openGLView_->cameraPosAt(0), openGLView_->cameraPosAt(2),
                   openGLView_->cameraDirAt(1), cameraHeightSlider_->floatValue()};
    for (int row = 0; row < orchestra_->numberOfRowsInTableView(); ++row) {
        const orchestra::MusicianRecord r = orchestra_->recordOf(row);
        show.musicians.append({r.name, r.file, r.visible, r.x, r.y, r.z});
    }
    // Clips still joining belong to the show as it was opened.
    show.musicians.append(loading_);
    return show;
}

bool MainWindow::openShowFile(const QString& path, QString* error) {
    orchestra::Show show;
    if (!orchestra::readShow(path, &show, error)) return false;
    while (orchestra_->numberOfRowsInTableView() > 0)
        orchestra_->removeMusician(orchestra_->numberOfRowsInTableView() - 1);
    undoStack_->clear();
    openGLView_->setCameraPosAt(0, show.camera.x);
    openGLView_->setCameraPosAt(2, show.camera.z);
    openGLView_->setCameraDirAt(1, show.camera.heading);
    cameraHeightSlider_->setFloatValue(show.camera.height);
    openGLView_->redraw();
    showPath_ = QFileInfo(path).absoluteFilePath();
    savedShow_ = show;
    loading_ = show.musicians;
    loadProblems_.clear();
    rememberRecent(showPath_);
    updateTitle();
    loadNextClip();
    return true;
}

// One clip per turn of the event loop: a show of many clips never holds the window up for more
// than one probe.
void MainWindow::loadNextClip() {
    if (loading_.isEmpty()) {
        if (!loadProblems_.isEmpty())
            statusBar()->showMessage(loadProblems_.join(QStringLiteral(" · ")), kMessageMs * 2);
        loadProblems_.clear();
        return;
    }
    const orchestra::ShowMusician m = loading_.takeFirst();
    QStringList problems;
    gatheredProblems_ = &problems;
    orchestra_->insertMusician(orchestra_->numberOfRowsInTableView(),
                               {m.name, m.file, m.visible, m.x, m.y, m.z}, true);
    gatheredProblems_ = nullptr;
    loadProblems_ += problems;
    QTimer::singleShot(0, this, [this] { loadNextClip(); });
}

bool MainWindow::saveShowFile(const QString& path, QString* error) {
    const orchestra::Show show = currentShow();
    if (!orchestra::writeShow(path, show, error)) return false;
    showPath_ = QFileInfo(path).absoluteFilePath();
    savedShow_ = show;
    rememberRecent(showPath_);
    updateTitle();
    return true;
}

void MainWindow::saveShow(std::function<void()> then) {
    if (showPath_.isEmpty()) return saveShowAs(std::move(then));
    QString error;
    if (!saveShowFile(showPath_, &error)) {
        QMessageBox::warning(this, tr("Save show"), tr("Cannot save %1: %2").arg(showPath_, error));
        return;
    }
    statusBar()->showMessage(tr("Saved %1").arg(QFileInfo(showPath_).fileName()), kMessageMs);
    if (then) then();
}

void MainWindow::saveShowAs(std::function<void()> then) {
    auto* dialog = new QFileDialog(this, tr("Save show"), showPath_, tr("Shows (*.loopstage)"));
    dialog->setObjectName(QStringLiteral("saveShowDialog"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("loopstage"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, [this, then](const QString& path) {
        showPath_ = path;
        saveShow(then);
    });
    dialog->open();
}

void MainWindow::openShowDialog() {
    auto* dialog = new QFileDialog(this, tr("Open show"), QFileInfo(showPath_).absolutePath(),
                                   tr("Shows (*.loopstage *.json);;All files (*)"));
    dialog->setObjectName(QStringLiteral("openShowDialog"));
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) {
        QString error;
        if (!openShowFile(path, &error))
            QMessageBox::warning(
                this, tr("Open show"),
                tr("%1 was not opened: %2").arg(QFileInfo(path).fileName(), error));
    });
    dialog->open();
}

void MainWindow::askToSave(std::function<void()> then) {
    if (!isShowModified()) return then();
    auto* box = new QMessageBox(
        QMessageBox::Question, tr("Unsaved changes"),
        tr("Save the changes to %1?")
            .arg(showPath_.isEmpty() ? tr("this show") : QFileInfo(showPath_).fileName()),
        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
    box->setObjectName(QStringLiteral("saveChanges"));
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, box, then] {
        const QMessageBox::StandardButton answer = box->standardButton(box->clickedButton());
        if (answer == QMessageBox::Save) saveShow(then);
        if (answer == QMessageBox::Discard) then();
    });
    // Not exec(): the show goes on playing while the question waits.
    box->open();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closeAnswered_ || !isShowModified()) return QMainWindow::closeEvent(event);
    event->ignore();
    askToSave([this] {
        closeAnswered_ = true;
        close();
    });
}

void MainWindow::updateTitle() {
    setWindowTitle((showPath_.isEmpty() ? tr("Untitled show") : QFileInfo(showPath_).fileName()) +
                   QStringLiteral("[*] - loopstage"));
    setWindowModified(isShowModified());
}

void MainWindow::rememberRecent(const QString& path) {
    QSettings settings;
    QStringList recent = settings.value(QStringLiteral("recentShows")).toStringList();
    recent.removeAll(path);
    recent.prepend(path);
    settings.setValue(QStringLiteral("recentShows"), recent.mid(0, 8));
}

void MainWindow::updateReadout() {
    updateTitle();
    if (!orchestra_) return;
    orchestra_->tellClipsThatGaveUp();
    ReadoutSample now = sampleReadout(*orchestra_, *openGLView_);
    if (lastReadout_) readout_->setText(readoutText(*lastReadout_, now, orchestra_->isPlaying()));
    lastReadout_ = std::make_unique<ReadoutSample>(std::move(now));
}

void MainWindow::showHelp() {
    if (!help_) help_ = new HelpDialog(this);
    help_->show();
    help_->raise();
}

void MainWindow::reportDropProblem(const QString& text) {
    if (gatheredProblems_) {
        gatheredProblems_->append(text);
    } else {
        statusBar()->showMessage(text, kMessageMs);
    }
}

void MainWindow::openAddClipsDialog() {
    if (clipFolder_.isEmpty()) {
        clipFolder_ = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    }
    auto* dialog = new QFileDialog(this, tr("Add clips"), clipFolder_, movieFileFilter());
    dialog->setObjectName(QStringLiteral("addClipsDialog"));
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::filesSelected, this, [this, dialog](const QStringList& paths) {
        clipFolder_ = dialog->directory().absolutePath();
        addClipFiles(paths);
    });
    // Window-modal and not blocking: the show goes on while the user picks.
    dialog->open();
}

void MainWindow::addClipFiles(const QStringList& paths) {
    // All probes at once, each on a thread of its own: ten files on a share that stopped
    // answering cost the time of one, and the window nothing.
    for (qsizetype i = 0; i < paths.size(); ++i) {
        auto* probe = new QFutureWatcher<media::ProbeResult>(this);
        connect(probe, &QFutureWatcherBase::finished, this, [this] { addProbedClips(); });
        chosenClips_.push_back({paths[i], probe, i + 1 == paths.size()});
        probe->setFuture(media::probeMovieLater(paths[i]));
    }
}

void MainWindow::addProbedClips() {
    while (!chosenClips_.empty() && chosenClips_.front().probe->isFinished()) {
        const ChosenClip clip = chosenClips_.front();
        chosenClips_.pop_front();
        gatheredProblems_ = &chosenProblems_;
        orchestra_->acceptFile(clip.path, clip.probe->result(), -1);
        gatheredProblems_ = nullptr;
        clip.probe->deleteLater();
        if (clip.lastOfChoice && !chosenProblems_.isEmpty()) {
            statusBar()->showMessage(
                chosenProblems_.join(QStringLiteral(" · ")),
                kMessageMs * static_cast<int>(std::min<qsizetype>(chosenProblems_.size(), 3)));
            chosenProblems_.clear();
        }
    }
}

void MainWindow::setStageFullScreen(bool on) {
    if (on == stageFullScreen_) return;
    stageFullScreen_ = on;
    if (on) {
        normalGeometry_ = geometry();
        statesBeforeFullScreen_ = windowState();
    }
    for (QWidget* chrome : {controlsPanel_, static_cast<QWidget*>(cameraHeightSlider_),
                            static_cast<QWidget*>(menuBar()), static_cast<QWidget*>(statusBar())}) {
        chrome->setVisible(!on);
    }
    centralWidget()->layout()->setContentsMargins(on ? QMargins() : normalMargins_);
    if (on) {
        // Without a window manager (kiosk set-ups, Xvfb) nobody acts on the full-screen request;
        // the geometry makes it hold there too, and a window manager sets its own anyway. Set
        // first: a new geometry ends a full-screen state.
        setGeometry(screen()->geometry());
        setWindowState(windowState() | Qt::WindowFullScreen);
    } else {
        setWindowState(statesBeforeFullScreen_ & ~Qt::WindowFullScreen);
        if (!(statesBeforeFullScreen_ & Qt::WindowMaximized)) setGeometry(normalGeometry_);
    }
    action(QStringLiteral("fullScreenStage"))->setChecked(on);
    enableLeaveFullScreen();
    // The table had the focus before and is where hands go back to; hidden, it lost it.
    if (!on) musicianView_->setFocus(Qt::OtherFocusReason);
    // The move to full screen may not come as a window move; the link must follow at once.
    orchestra_->windowChangedScreen();
}

MainWindow::~MainWindow() {
    // The table keeps asking its model while the window closes below; the model must not reach
    // the controller after it is gone.
    tableModel_->detachOrchestra();
    // Stops the render ticks, the housekeeping and the screen following before anything they
    // touch goes away.
    orchestra_.reset();
    openGLView_->anOrchestra = nullptr;
}

bool MainWindow::isEditingCell() const {
    // Cell editors live inside the table's viewport and take the focus while open.
    const QWidget* focus = QApplication::focusWidget();
    return focus && focus != musicianView_->viewport() &&
           musicianView_->viewport()->isAncestorOf(focus);
}

QAction* MainWindow::action(const QString& objectName) const {
    return findChild<QAction*>(objectName);
}

QAction* MainWindow::addWindowAction(const QString& objectName, const QString& text,
                                     const QList<QKeySequence>& keys,
                                     std::function<void()> effect) {
    auto* action = new QAction(text, this);
    action->setObjectName(objectName);
    action->setShortcuts(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    // On the window itself, so the keys still act while the menu bar is hidden (full screen).
    addAction(action);
    QObject::connect(action, &QAction::triggered, this, [effect] { effect(); });
    return action;
}

UndoContext MainWindow::undoContext() {
    return {orchestra_.get(),
            [this](const QVariant& value, const QString& column, int row) {
                // Through the model, so the table shows it; not recorded again.
                const QModelIndex cell =
                    tableModel_->index(row, tableModel_->columnOfIdentifier(column));
                replayingUndo_ = true;
                if (column == orchestra::ID_COL_VISIBLE)
                    tableModel_->setData(cell, value.toBool() ? Qt::Checked : Qt::Unchecked,
                                         Qt::CheckStateRole);
                else
                    tableModel_->setData(cell, value, Qt::EditRole);
                replayingUndo_ = false;
            },
            [this](const QString& what) { undoFailed(what); }};
}

void MainWindow::recordTableChange(const orchestra::TableChange& change) {
    if (replayingUndo_) return;
    switch (change.kind) {
        case orchestra::TableChange::Added:
            undoStack_->push(
                new AddCommand(undoContext(), change.row, orchestra_->recordOf(change.row), true));
            break;
        case orchestra::TableChange::Replaced:
            undoStack_->push(new ReplaceCommand(undoContext(), change.row, change.before.toString(),
                                                change.after.toString()));
            break;
        case orchestra::TableChange::Edited:
            undoStack_->push(new EditCommand(undoContext(), change));
            break;
    }
}

void MainWindow::removeSelectedMusicians() {
    if (isEditingCell()) return;
    std::vector<int> rows;
    for (const QModelIndex& index : musicianView_->selectionModel()->selectedIndexes())
        rows.push_back(index.row());
    if (rows.empty() && musicianView_->currentIndex().isValid())
        rows.push_back(musicianView_->currentIndex().row());
    if (!rows.empty()) undoStack_->push(new RemoveCommand(undoContext(), std::move(rows)));
}

void MainWindow::undoFailed(const QString& what) {
    statusBar()->showMessage(what + tr("; the undo history is cleared"), kMessageMs);
    // The rows no longer match what the history remembers. Not from inside the command that
    // is running now: the stack would delete it under itself.
    QTimer::singleShot(0, undoStack_, &QUndoStack::clear);
}

bool MainWindow::stageMouse(QEvent* event) {
    const auto type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove &&
        type != QEvent::MouseButtonRelease)
        return false;
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const bool shift = mouse->modifiers() & Qt::ShiftModifier;
    if (type == QEvent::MouseMove) {
        if (!stageDrag_ || !(mouse->buttons() & Qt::LeftButton)) return false;
        // The row went meanwhile (an undo from the keyboard): nothing is held any more.
        if (stageDrag_->row >= orchestra_->numberOfRowsInTableView()) {
            stageDrag_.reset();
            enableLeaveFullScreen();
            return false;
        }
        dragTo(mouse->position(), shift);
        return true;
    }
    if (mouse->button() != Qt::LeftButton) return false;
    if (type == QEvent::MouseButtonRelease) {
        if (!stageDrag_) return false;
        endStageDrag(true);
        return true;
    }
    stageContainer_->setFocus(Qt::MouseFocusReason);
    const int row = orchestra_->musicianAt(mouse->position());
    if (row < 0) {
        musicianView_->clearSelection();
        return false;
    }
    musicianView_->selectionModel()->setCurrentIndex(
        tableModel_->index(row, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    const orchestra::MusicianRecord r = orchestra_->recordOf(row);
    QVector3D grab;
    if (!openGLView_->hitOnPlane(mouse->position(), {r.x, r.y, r.z}, {0, 0, 1}, &grab)) return true;
    stageDrag_ = StageDrag{row, r, r, grab, shift};
    enableLeaveFullScreen();
    return true;
}

namespace {

// Positions set by hand are kept to a thousandth (a fraction of a pixel), so the table shows
// what a person would type.
float tidy(float coordinate) { return std::round(coordinate * 1000.0f) / 1000.0f; }

}  // namespace

// The billboard follows the pointer: across the screen exactly (the point taken stays under
// it), up the screen away over the ground as far as the ground under it would go, or with
// Shift up and down in height. Changes show in the table and on the stage at once and join the
// undo history only when the button is let go.
void MainWindow::dragTo(const QPointF& windowPos, bool height) {
    StageDrag& d = *stageDrag_;
    QVector3D eye, ahead;
    openGLView_->rayAt(QPointF(openGLView_->width() / 2.0, openGLView_->height() / 2.0), &eye,
                       &ahead);
    const QVector3D forward = QVector3D(ahead.x(), 0, ahead.z()).normalized();
    if (forward.isNull()) return;
    const QVector3D right = QVector3D::crossProduct(forward, {0, 1, 0});
    if (height != d.height) {
        // A new kind of move starts from where the billboard and the pointer are now.
        d.start = orchestra_->recordOf(d.row);
        if (!openGLView_->hitOnPlane(windowPos, {d.start.x, d.start.y, d.start.z}, {0, 0, 1},
                                     &d.grab))
            return;
        d.height = height;
    }
    QVector3D hit;
    if (!openGLView_->hitOnPlane(windowPos, d.grab, forward, &hit)) return;
    const QVector3D moved = hit - d.grab;
    QVector3D to(d.start.x, d.start.y, d.start.z);
    if (height) {
        to.setY(to.y() + moved.y());
    } else {
        // Feet that show higher on the screen stand farther away: by the ground's slope as seen
        // from the eye, kept from running off where the eye is level with the feet.
        const float depth = QVector3D::dotProduct(d.grab - eye, forward);
        const float eyeAboveFeet = std::max(eye.y() - d.start.y, 0.25f);
        const float away = std::max(moved.y() * depth / eyeAboveFeet, 0.5f - depth);
        to += right * QVector3D::dotProduct(moved, right) + forward * std::min(away, 50.0f);
    }
    const UndoContext context = undoContext();
    const orchestra::MusicianRecord now = orchestra_->recordOf(d.row);
    const std::pair<QString, float> cells[] = {{orchestra::ID_COL_X, tidy(to.x())},
                                               {orchestra::ID_COL_Y, tidy(to.y())},
                                               {orchestra::ID_COL_Z, tidy(to.z())}};
    const float was[] = {now.x, now.y, now.z};
    for (int i = 0; i < 3; ++i)
        if (cells[i].second != was[i]) context.setCell(cells[i].second, cells[i].first, d.row);
}

// Esc leaves full screen, except while a billboard is held: then it puts the billboard back.
void MainWindow::enableLeaveFullScreen() {
    action(QStringLiteral("leaveFullScreen"))->setEnabled(stageFullScreen_ && !stageDrag_);
}

void MainWindow::endStageDrag(bool keep) {
    const StageDrag d = *stageDrag_;
    stageDrag_.reset();
    enableLeaveFullScreen();
    if (keep) {
        recordMoves(tr("moving %1").arg(d.origin.name), {d.origin}, {d.row});
        return;
    }
    const UndoContext context = undoContext();
    context.setCell(d.origin.x, orchestra::ID_COL_X, d.row);
    context.setCell(d.origin.y, orchestra::ID_COL_Y, d.row);
    context.setCell(d.origin.z, orchestra::ID_COL_Z, d.row);
}

void MainWindow::recordMoves(const QString& text,
                             const std::vector<orchestra::MusicianRecord>& before,
                             const std::vector<int>& rows) {
    std::vector<orchestra::TableChange> changes;
    for (size_t i = 0; i < rows.size(); ++i) {
        const orchestra::MusicianRecord now = orchestra_->recordOf(rows[i]);
        const std::tuple<QString, float, float> cells[] = {
            {orchestra::ID_COL_X, before[i].x, now.x},
            {orchestra::ID_COL_Y, before[i].y, now.y},
            {orchestra::ID_COL_Z, before[i].z, now.z}};
        for (const auto& [column, was, is] : cells)
            if (was != is)
                changes.push_back({orchestra::TableChange::Edited, rows[i], column, was, is});
    }
    if (changes.empty()) return;
    undoStack_->beginMacro(text);
    for (const orchestra::TableChange& change : changes)
        undoStack_->push(new EditCommand(undoContext(), change));
    undoStack_->endMacro();
}

namespace {

// Where a billboard standing at `foot` shows through `toWindow` (the camera's projection, then
// the window's pixels); empty when part of it lies behind the camera.
QRectF shownRect(const QMatrix4x4& toScreen, const QSizeF& window, const QVector3D& foot) {
    double left = 1e30, top = 1e30, right = -1e30, bottom = -1e30;
    for (const QVector3D corner : {QVector3D(-0.5f, 0, 0), QVector3D(0.5f, 0, 0),
                                   QVector3D(-0.5f, 1, 0), QVector3D(0.5f, 1, 0)}) {
        const QVector4D clip = toScreen * QVector4D(foot + corner, 1);
        if (clip.w() <= 1e-6f) return {};
        const double x = (clip.x() / clip.w() * 0.5 + 0.5) * window.width();
        const double y = (0.5 - clip.y() / clip.w() * 0.5) * window.height();
        left = std::min(left, x), right = std::max(right, x);
        top = std::min(top, y), bottom = std::max(bottom, y);
    }
    return QRectF(QPointF(left, top), QPointF(right, bottom));
}

enum class Layout { Fits, TooClose, OffScreen };

}  // namespace

void MainWindow::arrangeMusicians(bool grid) {
    std::vector<int> rows;
    for (const QModelIndex& index : musicianView_->selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    if (rows.empty())
        for (int row = 0; row < orchestra_->numberOfRowsInTableView(); ++row) rows.push_back(row);
    if (rows.empty()) return;
    const stage::OpenGLView& view = *openGLView_;
    QVector3D eye, ahead;
    view.rayAt(QPointF(view.width() / 2.0, view.height() / 2.0), &eye, &ahead);
    const QVector3D forward = QVector3D(ahead.x(), 0, ahead.z()).normalized();
    const QVector3D right = QVector3D::crossProduct(forward, {0, 1, 0});
    const QMatrix4x4 toScreen = view.projectionMatrix() * view.cameraMatrix();
    const QSizeF window = view.size();
    const QRectF screen = QRectF(QPointF(), window).adjusted(4, 4, -4, -4);
    const int count = static_cast<int>(rows.size());
    const int across = grid ? static_cast<int>(std::ceil(std::sqrt(count))) : count;
    const int ranks = (count + across - 1) / across;
    constexpr double kGapPixels = 6;

    // The feet of every musician, in order, rank by rank from the front; a rank stands a step
    // behind the one before, raised so that its feet show above that rank's heads.
    std::vector<QVector3D> feet;
    auto layout = [&](float distance, float spacing, bool mustFit) {
        feet.clear();
        float depth = distance, height = 0;
        QRectF rankBelow;
        for (int rank = 0; rank < ranks; ++rank) {
            const int inRank = std::min(across, count - rank * across);
            QRectF rankShown, left;
            for (int i = 0; i < inRank; ++i) {
                QVector3D foot = eye + forward * depth;
                foot += right * ((static_cast<float>(i) - (inRank - 1) / 2.0f) * spacing);
                foot.setY(height);
                const QRectF shown = shownRect(toScreen, window, foot);
                if (shown.isNull() || (mustFit && !screen.contains(shown)))
                    return Layout::OffScreen;
                if (i > 0 && left.right() + kGapPixels > shown.left()) return Layout::TooClose;
                rankShown = rankShown.isNull() ? shown : rankShown.united(shown);
                left = shown;
                feet.push_back(foot);
            }
            if (rank > 0 && rankShown.bottom() + kGapPixels > rankBelow.top())
                return Layout::TooClose;
            rankBelow = rankShown;
            const float nextDepth = depth + 1.5f;
            height = eye.y() + (height + 1.0f - eye.y()) * nextDepth / depth + 0.05f * nextDepth;
            depth = nextDepth;
        }
        return Layout::Fits;
    };
    // The nearest that shows them all, spaced as narrowly as keeps them apart; when none shows
    // them all (a great many), the nearest that keeps them apart.
    bool done = false;
    for (const bool mustFit : {true, false}) {
        for (float distance = 2.5f; !done && distance <= 60.0f; distance += 0.5f) {
            for (float spacing = 1.1f; !done && spacing <= 4.0f; spacing += 0.1f) {
                const Layout tried = layout(distance, spacing, mustFit);
                done = tried == Layout::Fits;
                if (tried == Layout::OffScreen) break;  // wider only leaves more out
            }
        }
    }
    if (!done) return;
    std::vector<orchestra::MusicianRecord> before;
    const UndoContext context = undoContext();
    for (size_t i = 0; i < rows.size(); ++i) {
        before.push_back(orchestra_->recordOf(rows[i]));
        context.setCell(tidy(feet[i].x()), orchestra::ID_COL_X, rows[i]);
        context.setCell(tidy(feet[i].y()), orchestra::ID_COL_Y, rows[i]);
        context.setCell(tidy(feet[i].z()), orchestra::ID_COL_Z, rows[i]);
    }
    recordMoves(grid ? tr("arranging in a grid") : tr("arranging in a row"), before, rows);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Whichever part of the window had the key, Esc while a billboard is held puts it back.
    if (stageDrag_ && event->key() == Qt::Key_Escape) return endStageDrag(false);
    QMainWindow::keyPressEvent(event);
}

bool MainWindow::usesKey(const QObject* widget, QKeyCombination key) const {
    // The table navigates with the arrows, ticks with Space and starts an edit (or searches)
    // with a letter; its editors, whose unused keys pass up to it, keep every key typed.
    if (widget == musicianView_) return true;
    const bool arrow = key.key() == Qt::Key_Left || key.key() == Qt::Key_Right ||
                       key.key() == Qt::Key_Up || key.key() == Qt::Key_Down;
    if (widget == cameraHeightSlider_) return arrow;
    return key == QKeyCombination(Qt::Key_Space) && qobject_cast<const QToolButton*>(widget);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        // Qt asks the focused widget (and, when it passes, its parents) before a shortcut
        // acts; an accepted event is delivered as a key press instead.
        const QKeyCombination key = static_cast<QKeyEvent*>(event)->keyCombination();
        for (const QAction* stageAction : std::as_const(stageActions_)) {
            if (stageAction->shortcuts().contains(QKeySequence(key)) && usesKey(watched, key)) {
                event->accept();
                return true;
            }
        }
    } else if (event->type() == QEvent::KeyPress && watched == musicianView_ &&
               static_cast<QKeyEvent*>(event)->keyCombination() ==
                   QKeyCombination(Qt::Key_Escape)) {
        // An open editor takes its Esc itself; the table's own goes on to the stage.
        stageContainer_->setFocus(Qt::ShortcutFocusReason);
        return true;
    } else if (stageDrag_ && event->type() == QEvent::KeyPress &&
               static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        endStageDrag(false);
        return true;
    } else if (watched == openGLView_ && stageMouse(event)) {
        return true;
    } else if (event->type() == QEvent::FocusIn && watched == stageContainer_) {
        // The container would hand the focus on to the view, which declines it.
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

}  // namespace loopstage::app
