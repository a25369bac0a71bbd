#include "app/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QTableView>
#include <QToolButton>

#include "app/HelpDialog.h"
#include "app/StatusReadout.h"
#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"

namespace loopstage::app {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("loopstage"));

    orchestra_ = std::make_unique<orchestra::Orchestra>();
    openGLView_ = new stage::OpenGLView();
    QWidget* stageContainer = QWidget::createWindowContainer(openGLView_);
    stageContainer->setObjectName(QStringLiteral("stage"));
    stageContainer->setMinimumSize(320, 240);
    stageContainer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

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

    cameraHeightSlider_ = new stage::HeightSlider();
    cameraHeightSlider_->setObjectName(QStringLiteral("cameraHeightSlider"));
    cameraHeightSlider_->setToolTip(tr("Camera height"));

    // Outlets.
    orchestra_->musicianView = musicianView_;
    orchestra_->openGLView = openGLView_;
    openGLView_->anOrchestra = orchestra_.get();
    openGLView_->cameraHeightSlider = cameraHeightSlider_;

    // Actions.
    orchestra::Orchestra* controller = orchestra_.get();
    stage::OpenGLView* view = openGLView_;
    QAction* play = addWindowAction(QStringLiteral("togglePlayback"), tr("Play / Stop"),
                                    {Qt::Key_Space}, [controller] { controller->togglePlayback(); });
    play->setCheckable(true);
    QObject::connect(play, &QAction::triggered, this,
                     [play, controller] { play->setChecked(controller->isPlaying()); });
    QAction* forward = addWindowAction(QStringLiteral("goForward"), tr("Forward"), {Qt::Key_Up},
                                       [view] { view->goForward(); });
    QAction* backward = addWindowAction(QStringLiteral("goBackward"), tr("Back"), {Qt::Key_Down},
                                        [view] { view->goBackward(); });
    QAction* left = addWindowAction(QStringLiteral("goLeft"), tr("Left"),
                                    {Qt::Key_A, Qt::SHIFT | Qt::Key_Left}, [view] { view->goLeft(); });
    QAction* right = addWindowAction(QStringLiteral("goRight"), tr("Right"),
                                     {Qt::Key_D, Qt::SHIFT | Qt::Key_Right},
                                     [view] { view->goRight(); });
    QAction* turnLeft = addWindowAction(QStringLiteral("turnLeft"), tr("Turn left"), {Qt::Key_Left},
                                        [view] { view->turnLeft(); });
    QAction* turnRight = addWindowAction(QStringLiteral("turnRight"), tr("Turn right"),
                                         {Qt::Key_Right}, [view] { view->turnRight(); });
    addWindowAction(QStringLiteral("quit"), tr("Quit"), {Qt::CTRL | Qt::Key_Q},
                    [this] { close(); }, false);
    QObject::connect(cameraHeightSlider_, &QSlider::valueChanged, this,
                     [view] { view->heightChanged(); });

    auto button = [](QAction* action) {
        auto* b = new QToolButton();
        b->setDefaultAction(action);
        b->setObjectName(action->objectName() + QStringLiteral("Button"));
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        QStringList keys;
        for (const QKeySequence& key : action->shortcuts()) keys << key.toString(QKeySequence::NativeText);
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

    auto* leftColumn = new QVBoxLayout();
    leftColumn->addWidget(musicianView_, 1);
    leftColumn->addLayout(controls);

    auto* central = new QWidget();
    auto* row = new QHBoxLayout(central);
    row->addLayout(leftColumn, 0);
    row->addWidget(stageContainer, 1);
    row->addWidget(cameraHeightSlider_);
    setCentralWidget(central);
    resize(1180, 640);
    setMinimumSize(760, 420);
    setWindowIcon(QIcon(QStringLiteral(":/loopstage/loopstage.svg")));

    QAction* help = addWindowAction(QStringLiteral("help"), tr("Keys and clips..."), {Qt::Key_F1},
                                    [this] { showHelp(); }, false);
    menuBar()->addMenu(tr("&Help"))->addAction(help);

    // Figures a few times a second; a dropped file's trouble shows on the left for a while.
    readout_ = new QLabel();
    readout_->setObjectName(QStringLiteral("readout"));
    statusBar()->addPermanentWidget(readout_);
    orchestra_->onDropProblem = [this](const QString& text) { statusBar()->showMessage(text, 6000); };
    auto* readoutTimer = new QTimer(this);
    readoutTimer->setInterval(kReadoutIntervalMs);
    connect(readoutTimer, &QTimer::timeout, this, [this] { updateReadout(); });
    readoutTimer->start();

    openGLView_->awakeFromNib();
    orchestra_->awakeFromNib();
}

void MainWindow::updateReadout() {
    if (!orchestra_) return;
    ReadoutSample now = sampleReadout(*orchestra_, *openGLView_);
    if (lastReadout_) readout_->setText(readoutText(*lastReadout_, now, orchestra_->isPlaying()));
    lastReadout_ = std::make_unique<ReadoutSample>(std::move(now));
}

void MainWindow::showHelp() {
    if (!help_) help_ = new HelpDialog(this);
    help_->show();
    help_->raise();
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
    return focus && focus != musicianView_->viewport() && musicianView_->viewport()->isAncestorOf(focus);
}

QAction* MainWindow::action(const QString& objectName) const {
    return findChild<QAction*>(objectName);
}

QAction* MainWindow::addWindowAction(const QString& objectName, const QString& text,
                                     const QList<QKeySequence>& keys, std::function<void()> effect,
                                     bool onlyWhenNotEditing) {
    auto* action = new QAction(text, this);
    action->setObjectName(objectName);
    action->setShortcuts(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    addAction(action);
    QObject::connect(action, &QAction::triggered, this, [this, effect, onlyWhenNotEditing] {
        // Keys typed into a table cell belong to the cell editor.
        if (onlyWhenNotEditing && isEditingCell()) return;
        effect();
    });
    return action;
}

}  // namespace loopstage::app
