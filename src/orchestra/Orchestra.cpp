#include "orchestra/Orchestra.h"

#include <GL/gl.h>

#include <QAbstractItemView>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QOpenGLContext>
#include <QScreen>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QVector3D>
#include <cmath>

#include "media/Movie.h"
#include "musician/Musician.h"
#include "orchestra/MusicianTableModel.h"
#include "platform/HostTime.h"
#include "platform/WindowMoveFilter.h"
#include "stage/OpenGLView.h"

namespace loopstage::orchestra {

namespace {

std::optional<bool>& threadedOpenGLOverride() {
    static std::optional<bool> supported;
    return supported;
}

}  // namespace

void Orchestra::setThreadedOpenGLForTesting(std::optional<bool> supported) {
    threadedOpenGLOverride() = supported;
}

Orchestra::Orchestra() = default;

Orchestra::~Orchestra() {
    // Nothing may reach a musician once destruction starts: no tick, no housekeeping, no
    // window-moved notification.
    if (displayLink_) displayLink_->stop();
    qtHousekeepingTimer_.reset();
    isPlaying_ = false;
    windowMoveSubscription_.reset();
    mainThreadTicks_.reset();
    musicianList_.reset();
    displayLink_.reset();
}

void Orchestra::awakeFromNib() {
    isPlaying_ = false;

    const QSurfaceFormat pixelFormat = platform::defaultPixelFormat();
    uint32_t displayMask = 0;
    for (int screen = 0; screen < platform::numberOfVirtualScreens(pixelFormat); ++screen) {
        int32_t screenMask = 0;
        platform::getPixelFormatValue(pixelFormat, &screenMask, platform::kScreenMaskAttribute,
                                      screen);
        displayMask |= static_cast<uint32_t>(screenMask);
    }

    mainViewDisplayID_ = platform::mainDisplayId();

    const int status = platform::createDisplayLinkWithDisplayMask(displayMask, &displayLink_);
    if (status != 0) {
        qInfo("DisplayLink created with error:%d", status);
        displayLink_.reset();
        return;
    }

    // On X11 a window's move arrives before its screen change, when the window still names the
    // old screen: the screen change itself must be followed too, and a rate change or the loss
    // of the followed screen.
    windowMoveSubscription_ =
        std::make_unique<platform::WindowMoveFilter>([this] { windowChangedScreen(); });
    QObject* subscriptions = windowMoveSubscription_.get();
    if (openGLView) {
        QObject::connect(openGLView, &QWindow::screenChanged, subscriptions,
                         [this] { followDisplay(false); });
    }
    QObject::connect(qApp, &QGuiApplication::screenRemoved, subscriptions,
                     [this, subscriptions](QScreen* screen) {
                         if (screen != followedScreen_) return;
                         followedScreen_ = nullptr;
                         // Qt moves the windows off the screen after telling of its removal.
                         QMetaObject::invokeMethod(
                             subscriptions, [this] { followDisplay(true); }, Qt::QueuedConnection);
                     });
    watchScreenOfView();

    if (threadedOpenGLOverride().value_or(QOpenGLContext::supportsThreadedOpenGL())) {
        displayLink_->setOutputCallback(&myCVDisplayLinkOutputCallback, this);
    } else {
        qInfo("OpenGL cannot draw from a second thread here: frames are drawn on the main thread");
        mainThreadTicks_ = std::make_unique<QObject>();
        displayLink_->setOutputCallback(&postTickToMainThread, this);
    }
    if (openGLView) openGLView->setupSharedContext();
    musicianList_ = std::make_unique<MusicianList>();
    if (musicianView) {
        musicianView->setAcceptDrops(true);
        musicianView->viewport()->setAcceptDrops(true);
        musicianView->setDragDropMode(QAbstractItemView::DropOnly);
        musicianView->setDropIndicatorShown(true);
    }
}

void Orchestra::togglePlayback() {
    if (isPlaying_) {
        qInfo("Stopping");
        if (displayLink_) displayLink_->stop();
        isPlaying_ = false;
        qtHousekeepingTimer_.reset();
        return;
    }
    qInfo("Starting");
    if (!displayLink_ || displayLink_->start() != 0) return;
    isPlaying_ = true;
    qtHousekeepingTimer_ = std::make_unique<QTimer>();
    qtHousekeepingTimer_->setTimerType(Qt::PreciseTimer);
    qtHousekeepingTimer_->setInterval(kHousekeepingIntervalMs);
    QObject::connect(qtHousekeepingTimer_.get(), &QTimer::timeout, qtHousekeepingTimer_.get(),
                     [this] { _qtHousekeeping(); });
    qtHousekeepingTimer_->start();
}

void Orchestra::_qtHousekeeping() { media::MovieEngine::task(); }

namespace {
// The musicians the tick on this thread reads, for its drawing: a drawing outside a tick (a
// reshape) runs on the main thread, which changes the list and may read it as it stands.
thread_local const std::vector<musician::Musician*>* tl_tickMusicians = nullptr;
}  // namespace

int Orchestra::render(const platform::VideoTimeStamp* outputTime) {
    const int64_t start = platform::hostTimeNow();
    bool dirty = false;
    std::optional<MusicianList::Reading> reading;
    if (musicianList_) {
        reading.emplace(musicianList_->read());
        tl_tickMusicians = &reading->musicians();
        for (musician::Musician* m : reading->musicians()) dirty |= m->renderChannel(outputTime);
    }
    if (openGLView) {
        openGLView->setDirty(dirty);
        openGLView->flushOutput();
    }
    tl_tickMusicians = nullptr;
    reading.reset();
    tickStats_.recordTick(start, platform::hostTimeNow(), outputTime->hostTime);
    return 0;
}

void Orchestra::renderOrchestra() {
    if (!musicianList_) return;
    const std::vector<musician::Musician*>& musicians =
        tl_tickMusicians ? *tl_tickMusicians : musicianList_->musicians();
    for (musician::Musician* m : musicians) {
        glPushMatrix();
        m->renderMusician();
        glPopMatrix();
    }
}

bool Orchestra::prepareStillFrame() {
    // No tick runs while stopped (the link's stop waited out the last), so the pictures may be
    // taken here on the main thread.
    if (isPlaying_) return false;
    if (musicianList_) {
        for (musician::Musician* m : musicianList_->musicians()) m->takeFirstPicture();
    }
    return true;
}

void Orchestra::windowChangedScreen() { followDisplay(false); }

void Orchestra::followDisplay(bool again) {
    watchScreenOfView();
    const platform::DisplayId display = platform::displayIdOfWindow(openGLView);
    if (display == 0 || (display == mainViewDisplayID_ && !again)) return;
    if (!displayLink_ || displayLink_->setCurrentDisplay(display) != 0) return;
    mainViewDisplayID_ = display;
}

void Orchestra::watchScreenOfView() {
    QScreen* screen = openGLView ? openGLView->screen() : nullptr;
    if (screen == followedScreen_ || !windowMoveSubscription_) return;
    if (followedScreen_)
        QObject::disconnect(followedScreen_, nullptr, windowMoveSubscription_.get(), nullptr);
    followedScreen_ = screen;
    if (screen) {
        QObject::connect(screen, &QScreen::refreshRateChanged, windowMoveSubscription_.get(),
                         [this] { followDisplay(true); });
    }
}

void Orchestra::postTick(const platform::VideoTimeStamp& outputTime) {
    {
        std::lock_guard guard(postedTickMutex_);
        postedTick_ = outputTime;
        if (tickPosted_) return;  // the waiting call takes this newer stamp
        tickPosted_ = true;
    }
    // Never waits for the main thread: stopping the link waits for this callback.
    QMetaObject::invokeMethod(
        mainThreadTicks_.get(),
        [this] {
            platform::VideoTimeStamp tick;
            {
                std::lock_guard guard(postedTickMutex_);
                tick = postedTick_;
                tickPosted_ = false;
            }
            if (isPlaying_) render(&tick);
        },
        Qt::QueuedConnection);
}

int Orchestra::numberOfRowsInTableView() const { return static_cast<int>(musicianCount()); }

QVariant Orchestra::objectValueForTableColumn(const QString& columnIdentifier, int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= musicianCount()) return {};
    const musician::Musician* musician = musicianList_->at(static_cast<std::size_t>(row));
    const graphics::Vector4* position = musician->position();
    if (columnIdentifier == ID_COL_NAME) return musician->musicianName();
    if (columnIdentifier == ID_COL_VISIBLE) return musician->visible();
    if (columnIdentifier == ID_COL_VIDEO) return musician->videoFilename();
    if (columnIdentifier == ID_COL_X) return musician::Musician::loadCoordinate(position->x);
    if (columnIdentifier == ID_COL_Y) return musician::Musician::loadCoordinate(position->y);
    if (columnIdentifier == ID_COL_Z) return musician::Musician::loadCoordinate(position->z);
    return {};
}

void Orchestra::setObjectValue(const QVariant& value, const QString& columnIdentifier, int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= musicianCount()) return;
    const QVariant before = objectValueForTableColumn(columnIdentifier, row);
    musician::Musician* musician = musicianList_->at(static_cast<std::size_t>(row));
    graphics::Vector4* position = musician->position();
    if (columnIdentifier == ID_COL_NAME) {
        musician->setMusicianName(value.toString());
    } else if (columnIdentifier == ID_COL_VISIBLE) {
        musician->setVisible(value.toBool());
    } else if (columnIdentifier == ID_COL_X) {
        musician::Musician::storeCoordinate(position->x, value.toFloat());
    } else if (columnIdentifier == ID_COL_Y) {
        musician::Musician::storeCoordinate(position->y, value.toFloat());
    } else if (columnIdentifier == ID_COL_Z) {
        musician::Musician::storeCoordinate(position->z, value.toFloat());
    }
    const QVariant after = objectValueForTableColumn(columnIdentifier, row);
    if (after == before) return;
    if (openGLView) openGLView->redraw();
    tellChange({TableChange::Edited, row, columnIdentifier, before, after});
}

int Orchestra::musicianAt(const QPointF& windowPos) const {
    if (!openGLView) return -1;
    for (int row = numberOfRowsInTableView() - 1; row >= 0; --row) {
        const musician::Musician* m = musicianList_->at(static_cast<std::size_t>(row));
        if (!m->currentTexture()) continue;
        const graphics::Vector4* p = m->position();
        const QVector3D foot(musician::Musician::loadCoordinate(p->x),
                             musician::Musician::loadCoordinate(p->y),
                             musician::Musician::loadCoordinate(p->z));
        QVector3D hit;
        if (openGLView->hitOnPlane(windowPos, foot, QVector3D(0, 0, 1), &hit) &&
            std::abs(hit.x() - foot.x()) <= 0.5f * m->width() && hit.y() >= foot.y() &&
            hit.y() <= foot.y() + m->height())
            return row;
    }
    return -1;
}

void Orchestra::setOutlined(int row, bool outlined) {
    if (row < 0 || static_cast<std::size_t>(row) >= musicianCount()) return;
    musician::Musician* m = musicianList_->at(static_cast<std::size_t>(row));
    if (m->outlined() == outlined) return;
    m->setOutlined(outlined);
    if (openGLView) openGLView->redraw();
}

MusicianRecord Orchestra::recordOf(int row) const {
    MusicianRecord r;
    if (row < 0 || static_cast<std::size_t>(row) >= musicianCount()) return r;
    r.name = objectValueForTableColumn(ID_COL_NAME, row).toString();
    r.file = objectValueForTableColumn(ID_COL_VIDEO, row).toString();
    r.visible = objectValueForTableColumn(ID_COL_VISIBLE, row).toBool();
    r.x = objectValueForTableColumn(ID_COL_X, row).toFloat();
    r.y = objectValueForTableColumn(ID_COL_Y, row).toFloat();
    r.z = objectValueForTableColumn(ID_COL_Z, row).toFloat();
    return r;
}

bool Orchestra::removeMusician(int row) {
    if (!musicianList_ || row < 0 || static_cast<std::size_t>(row) >= musicianCount()) return false;
    MusicianTableModel* model = tableModel();
    if (model) model->beginRemoveRow(row);
    std::unique_ptr<musician::Musician> gone = musicianList_->take(static_cast<std::size_t>(row));
    if (model) model->endRemoveRow();
    // No tick reads it any more; its decoder is stopped and freed off this thread.
    gone.reset();
    if (openGLView) openGLView->redraw();
    return true;
}

void Orchestra::tellChange(const TableChange& change) const {
    if (onTableChange) onTableChange(change);
}

namespace {

bool offersFileNames(const QMimeData* dragData) {
    return dragData && dragData->hasFormat(QStringLiteral("text/uri-list"));
}

}  // namespace

DragOperation Orchestra::validateDrop(const QMimeData* dragData, int, DropOperation) const {
    return offersFileNames(dragData) ? DragOperation::Copy : DragOperation::None;
}

namespace {

// Why a file was refused, in words a person can act on.
QString whyRefused(media::ProbeRefusal refusal) {
    using media::ProbeRefusal;
    switch (refusal) {
        case ProbeRefusal::NotFound:
            return QObject::tr("file not found");
        case ProbeRefusal::Folder:
            return QObject::tr("a folder, not a movie file");
        case ProbeRefusal::NotRegularFile:
            return QObject::tr(
                "not a regular file (a pipe, device or socket); save it as a file first");
        case ProbeRefusal::Unreadable:
            return QObject::tr("cannot be read (permissions)");
        case ProbeRefusal::Empty:
            return QObject::tr("empty file");
        case ProbeRefusal::PictureTooLarge:
            return QObject::tr("pictures too large to play");
        case ProbeRefusal::NoDecoder:
            return QObject::tr("video in a format this program cannot decode");
        case ProbeRefusal::CannotDecode:
            return QObject::tr("cannot decode its pictures (damaged or unsupported settings)");
        case ProbeRefusal::NotAnswering:
            return QObject::tr(
                "the file did not answer in time (a disk or share not responding?); try again");
        case ProbeRefusal::StillWaiting:
            return QObject::tr("the disk or share is not answering");
        case ProbeRefusal::ListOfFiles:
            return QObject::tr("a playlist or list of files, not a movie");
        case ProbeRefusal::None:
        case ProbeRefusal::NotAMovie:
            break;
    }
    return QObject::tr("not a movie file");
}

}  // namespace

void Orchestra::tellUser(const QString& fileName, const QString& what) const {
    if (onDropProblem) onDropProblem(fileName + QStringLiteral(": ") + what);
}

bool Orchestra::acceptDrop(const QMimeData* dragData, int row, DropOperation) {
    if (!musicianList_ || !offersFileNames(dragData)) return false;
    const QList<QUrl> urls = dragData->urls();
    if (urls.isEmpty()) return false;
    if (!urls.first().isLocalFile()) {
        tellUser(urls.first().fileName(), tr("not a file on this computer"));
        return false;
    }
    const QString path = urls.first().toLocalFile();
    // The probe is handed on to the musician: the file is read once per drop.
    return acceptFile(path, media::probeMovie(path), row);
}

bool Orchestra::acceptFile(const QString& path, media::ProbeResult probe, int row) {
    if (!musicianList_) return false;
    // A negative row compares as past the end, as unsigned numbers do.
    if (static_cast<uint32_t>(row) < static_cast<uint32_t>(musicianCount())) {
        const QString before = recordOf(row).file;
        if (!replaceClip(row, path, &probe)) return false;
        tellChange({TableChange::Replaced, row, ID_COL_VIDEO, before, path});
        return true;
    }
    MusicianRecord record;
    record.name = QFileInfo(path).fileName();
    record.file = path;
    const int at = static_cast<int>(musicianCount());
    if (!insertMusician(at, record, false, &probe)) return false;
    tellChange({TableChange::Added, at, {}, {}, path});
    return true;
}

bool Orchestra::replaceClip(int row, const QString& path, media::ProbeResult* probed) {
    if (!musicianList_ || row < 0 || static_cast<std::size_t>(row) >= musicianCount()) return false;
    const QString name = QFileInfo(path).fileName();
    // The probe is handed on to the musician: the file is read once.
    media::ProbeResult probe = probed ? std::move(*probed) : media::probeMovie(path);
    if (path.isEmpty() || probe.status < 0) {
        tellUser(name, whyRefused(probe.refusal));
        return false;
    }
    // The row's clip is replaced, not just relabelled: the table must name what is on stage.
    musician::Musician* musician = musicianList_->at(static_cast<std::size_t>(row));
    if (!musician->replaceMovie(path, openGLView, std::move(probe.probe))) {
        tellUser(name, tr("no decodable video; the row keeps its clip"));
        return false;
    }
    if (MusicianTableModel* model = tableModel()) model->rowReplaced(row);
    if (!musician->channelMovie()->hasVideo())
        tellUser(name, tr("no video track; it will show nothing"));
    return true;
}

bool Orchestra::insertMusician(int row, const MusicianRecord& record, bool keepIfRefused,
                               media::ProbeResult* probed) {
    if (!musicianList_ || row < 0 || static_cast<std::size_t>(row) > musicianCount()) return false;
    const QString name = QFileInfo(record.file).fileName();
    if (musicianCount() >= MusicianList::kCapacity) {
        tellUser(name, tr("the stage is full"));
        return false;
    }
    QString problem;
    std::unique_ptr<musician::Musician> musician;
    media::ProbeResult probe = probed ? std::move(*probed) : media::probeMovie(record.file);
    if (record.file.isEmpty() || probe.status < 0) {
        problem = whyRefused(probe.refusal);
    } else {
        musician = musician::Musician::initWithName(record.name, record.file, openGLView,
                                                    std::move(probe.probe));
        if (!musician) problem = tr("no decodable video");
    }
    if (!problem.isEmpty()) {
        tellUser(name, problem);
        if (!keepIfRefused) return false;
        musician = musician::Musician::standIn(record.name, record.file, problem);
    }
    musician->setVisible(record.visible);
    graphics::Vector4* position = musician->position();
    musician::Musician::storeCoordinate(position->x, record.x);
    musician::Musician::storeCoordinate(position->y, record.y);
    musician::Musician::storeCoordinate(position->z, record.z);
    const bool hasVideo = !musician->channelMovie() || musician->channelMovie()->hasVideo();
    MusicianTableModel* model = tableModel();
    // Not full (checked above) and not null: the insert cannot fail between the two.
    if (model) model->beginInsertRow(row);
    musicianList_->insert(static_cast<std::size_t>(row), std::move(musician));
    if (model) model->endInsertRow();
    if (!hasVideo) tellUser(name, tr("no video track; it will show nothing"));
    return problem.isEmpty();
}

MusicianTableModel* Orchestra::tableModel() const {
    return musicianView ? dynamic_cast<MusicianTableModel*>(musicianView->model()) : nullptr;
}

int postTickToMainThread(platform::DisplayLink*, const platform::VideoTimeStamp*,
                         const platform::VideoTimeStamp* outputTime, uint64_t, uint64_t*,
                         void* context) {
    static_cast<Orchestra*>(context)->postTick(*outputTime);
    return 0;
}

void Orchestra::tellClipsThatGaveUp() {
    for (std::size_t i = 0; i < musicianCount(); ++i) {
        const musician::Musician* musician = musicianList_->at(i);
        if (musician->channelMovie() && musician->channelMovie()->takeGaveUpNotice()) {
            tellUser(QFileInfo(musician->videoFilename()).fileName(), gaveUpText(*musician));
        }
    }
}

int myCVDisplayLinkOutputCallback(platform::DisplayLink*, const platform::VideoTimeStamp*,
                                  const platform::VideoTimeStamp* outputTime, uint64_t, uint64_t*,
                                  void* context) {
    return static_cast<Orchestra*>(context)->render(outputTime);
}

}  // namespace loopstage::orchestra
