#include "orchestra/Orchestra.h"

#include <GL/gl.h>

#include <QAbstractItemView>
#include <QTableView>
#include <QTimer>

#include "musician/Musician.h"
#include "platform/Movie.h"
#include "platform/WindowMoveFilter.h"
#include "stage/OpenGLView.h"

namespace loopstage::orchestra {

Orchestra::Orchestra() = default;

Orchestra::~Orchestra() {
    // Nothing may reach a musician once destruction starts: no tick, no housekeeping, no
    // window-moved notification.
    if (displayLink_) displayLink_->stop();
    qtHousekeepingTimer_.reset();
    isPlaying_ = false;
    windowMoveSubscription_.reset();
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

    windowMoveSubscription_ =
        std::make_unique<platform::WindowMoveFilter>([this] { windowChangedScreen(); });
    displayLink_->setOutputCallback(&myCVDisplayLinkOutputCallback, this);
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

void Orchestra::_qtHousekeeping() { platform::MovieEngine::task(); }

int Orchestra::render(const platform::VideoTimeStamp* outputTime) {
    bool dirty = false;
    if (musicianList_) {
        for (std::size_t i = 0; i < musicianList_->count(); ++i) {
            dirty |= musicianList_->at(i)->renderChannel(outputTime);
        }
    }
    if (openGLView) {
        openGLView->setDirty(dirty);
        openGLView->flushOutput();
    }
    return 0;
}

void Orchestra::renderOrchestra() {
    if (!musicianList_) return;
    for (std::size_t i = 0; i < musicianList_->count(); ++i) {
        glPushMatrix();
        musicianList_->at(i)->renderMusician();
        glPopMatrix();
    }
}

void Orchestra::windowChangedScreen() {
    const platform::DisplayId display =
        platform::displayIdOfWindow(openGLView ? openGLView : nullptr);
    if (display == 0 || display == mainViewDisplayID_) return;
    if (displayLink_) displayLink_->setCurrentDisplay(display);
    mainViewDisplayID_ = display;
}

int myCVDisplayLinkOutputCallback(platform::DisplayLink*, const platform::VideoTimeStamp*,
                                  const platform::VideoTimeStamp* outputTime, uint64_t, uint64_t*,
                                  void* context) {
    return static_cast<Orchestra*>(context)->render(outputTime);
}

}  // namespace loopstage::orchestra
