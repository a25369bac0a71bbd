#include "musician/Musician.h"

#include <GL/gl.h>

#include <atomic>

#include "platform/Displays.h"
#include "platform/Movie.h"
#include "platform/TextureVisualContext.h"
#include "stage/OpenGLView.h"

namespace loopstage::musician {

void Musician::storeCoordinate(float& coordinate, float value) {
    std::atomic_ref<float>(coordinate).store(value, std::memory_order_relaxed);
}

float Musician::loadCoordinate(const float& coordinate) {
    return std::atomic_ref<const float>(coordinate).load(std::memory_order_relaxed);
}

bool Musician::openChannel(const QString& filename, stage::OpenGLView* view,
                           std::unique_ptr<platform::TextureVisualContext>* visualContext,
                           std::unique_ptr<platform::Movie>* movie) {
    platform::MovieOpenProperties properties;
    properties.path = filename.toStdString();
    properties.active = true;

    const int contextStatus = platform::TextureVisualContext::create(
        view ? view->sharedContext() : nullptr, platform::defaultPixelFormat(), visualContext);
    if (!*visualContext) {
        qInfo("QTVisualContext creation failed with error:%d", contextStatus);
        return false;
    }
    properties.visualContext = visualContext->get();

    const int movieStatus = platform::Movie::open(properties, *movie);
    if (movieStatus != 0) {
        qInfo("NewMovieFromProperties failed with %d", movieStatus);
        return false;
    }
    platform::Movie& opened = **movie;
    opened.goToBeginning();
    opened.setRate(platform::kFixed1);
    opened.setTimeBaseFlags(platform::kLoopTimeBase);

    for (int track = opened.trackCount(); track >= 1; --track) {
        const uint32_t mediaType = opened.trackMediaType(track);
        if (mediaType == 0) continue;
        if (mediaType != platform::kVideoMediaType) opened.setTrackEnabled(track, false);
    }
    return true;
}

std::unique_ptr<Musician> Musician::initWithName(const QString& name, const QString& filename,
                                                 stage::OpenGLView* view) {
    std::unique_ptr<Musician> musician(new Musician);
    musician->musicianName_ = name;
    musician->visible_ = true;
    musician->position_ = graphics::Vector4{};
    musician->videoFilename_ = filename;
    musician->width_ = 1.0f;
    musician->height_ = 1.0f;
    if (!openChannel(filename, view, &musician->visualContext_, &musician->channelMovie_)) {
        return nullptr;
    }
    return musician;
}

bool Musician::replaceMovie(const QString& filename, stage::OpenGLView* view) {
    std::unique_ptr<platform::TextureVisualContext> visualContext;
    std::unique_ptr<platform::Movie> movie;
    if (!openChannel(filename, view, &visualContext, &movie)) return false;
    {
        std::lock_guard guard(channelMutex_);
        channelMovie_.swap(movie);
        visualContext_.swap(visualContext);
    }
    videoFilename_ = filename;
    // The old clip goes outside the lock, movie first; its frame on screen stays until the new
    // clip's first frame replaces it.
    movie.reset();
    visualContext.reset();
    return true;
}

Musician::~Musician() {
    // The movie goes first: it stops rendering into the visual context before that goes.
    channelMovie_.reset();
    _setCurrentTextureRef(nullptr);
    visualContext_.reset();
}

bool Musician::renderChannel(const platform::VideoTimeStamp* timeStamp) {
    // A clip being replaced on the main thread sits this tick out rather than stall it.
    std::unique_lock channel(channelMutex_, std::try_to_lock);
    if (!channel.owns_lock()) return false;
    visualContext_->task();
    if (!visualContext_->isNewImageAvailable(timeStamp)) return false;
    platform::TextureBufferRef frame;
    visualContext_->copyImageForTime(timeStamp, &frame);
    // A take that yields nothing after a positive answer keeps the frame already shown.
    if (!frame) return false;
    _setCurrentTextureRef(std::move(frame));
    return true;
}

void Musician::_setCurrentTextureRef(platform::TextureBufferRef frame) {
    Corners corners;
    if (frame) {
        frame->cleanTexCoords(&corners.lowerLeft, &corners.lowerRight, &corners.upperRight,
                              &corners.upperLeft);
    }
    std::lock_guard guard(frameMutex_);
    // The replaced frame is released when `frame` goes, after the lock; a drawing that still
    // binds it holds its own reference, so its texture stays out of the pool until then.
    currentTexture_.swap(frame);
    if (currentTexture_) corners_ = corners;
}

platform::TextureBufferRef Musician::currentTexture() const {
    std::lock_guard guard(frameMutex_);
    return currentTexture_;
}

Musician::Corners Musician::corners() const {
    std::lock_guard guard(frameMutex_);
    return corners_;
}

void Musician::renderMusician() {
    platform::TextureBufferRef frame;
    Corners c;
    {
        std::lock_guard guard(frameMutex_);
        frame = currentTexture_;
        c = corners_;
    }
    // Nothing to show before the first frame (or ever, for a movie without video).
    if (!frame) return;

    const GLenum target = frame->target();
    glEnable(target);
    glBindTexture(target, frame->name());
    glTranslatef(loadCoordinate(position_.x), loadCoordinate(position_.y),
                 loadCoordinate(position_.z));
    const float halfWidth = 0.5f * width_;
    glBegin(GL_QUADS);
    glTexCoord2f(c.lowerLeft.s, c.lowerLeft.t);
    glVertex3f(-halfWidth, 0.0f, 0.0f);
    glTexCoord2f(c.upperLeft.s, c.upperLeft.t);
    glVertex3f(-halfWidth, height_, 0.0f);
    glTexCoord2f(c.upperRight.s, c.upperRight.t);
    glVertex3f(halfWidth, height_, 0.0f);
    glTexCoord2f(c.lowerRight.s, c.lowerRight.t);
    glVertex3f(halfWidth, 0.0f, 0.0f);
    glEnd();
    glDisable(target);
}

}  // namespace loopstage::musician
