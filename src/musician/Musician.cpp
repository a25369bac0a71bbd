#include "musician/Musician.h"

#include <GL/gl.h>

#include <QScreen>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>

#include "media/Movie.h"
#include "platform/Displays.h"
#include "platform/HostTime.h"
#include "stage/OpenGLView.h"
#include "textures/TextureVisualContext.h"

namespace loopstage::musician {

void Musician::storeCoordinate(float& coordinate, float value) {
    std::atomic_ref<float>(coordinate).store(value, std::memory_order_relaxed);
}

float Musician::loadCoordinate(const float& coordinate) {
    return std::atomic_ref<const float>(coordinate).load(std::memory_order_relaxed);
}

namespace {

// Until its first drawing says how large a clip is shown, its pictures are converted no larger
// than the stage could show them: the stage's longer side on either axis, in device pixels
// (the picture may be turned a quarter).
int stageSideInDevicePixels(const stage::OpenGLView* view) {
    if (!view) return 0;
    QSize size = view->size();
    if (size.isEmpty() && view->screen()) size = view->screen()->size();
    return static_cast<int>(
        std::ceil(std::max(size.width(), size.height()) * view->devicePixelRatio()));
}

}  // namespace

bool Musician::openChannel(const QString& filename, stage::OpenGLView* view,
                           std::shared_ptr<media::MovieProbe> probe,
                           std::unique_ptr<textures::TextureVisualContext>* visualContext,
                           std::unique_ptr<media::Movie>* movie) {
    media::MovieOpenProperties properties;
    properties.path = filename.toStdString();
    properties.active = true;
    properties.probe = std::move(probe);
    properties.initialMaxWidth = properties.initialMaxHeight = stageSideInDevicePixels(view);
    // While the stage stands still nothing takes pictures; the first one must still be seen.
    if (view) properties.firstPictureQueued = view->frameRequest();

    const int contextStatus = textures::TextureVisualContext::create(
        view ? view->sharedContext() : nullptr, platform::defaultPixelFormat(), visualContext);
    if (!*visualContext) {
        qInfo("QTVisualContext creation failed with error:%d", contextStatus);
        return false;
    }
    properties.visualContext = visualContext->get();

    const int movieStatus = media::Movie::open(properties, *movie);
    if (movieStatus != 0) {
        qInfo("NewMovieFromProperties failed with %d", movieStatus);
        return false;
    }
    media::Movie& opened = **movie;
    opened.goToBeginning();
    opened.setRate(media::kFixed1);
    opened.setTimeBaseFlags(media::kLoopTimeBase);

    for (int track = opened.trackCount(); track >= 1; --track) {
        const uint32_t mediaType = opened.trackMediaType(track);
        if (mediaType == 0) continue;
        if (mediaType != media::kVideoMediaType) opened.setTrackEnabled(track, false);
    }
    return true;
}

std::unique_ptr<Musician> Musician::initWithName(const QString& name, const QString& filename,
                                                 stage::OpenGLView* view,
                                                 std::shared_ptr<media::MovieProbe> probe) {
    std::unique_ptr<Musician> musician(new Musician);
    musician->musicianName_ = name;
    musician->visible_ = true;
    musician->position_ = graphics::Vector4{};
    musician->videoFilename_ = filename;
    musician->width_ = 1.0f;
    musician->height_ = 1.0f;
    if (!openChannel(filename, view, std::move(probe), &musician->visualContext_,
                     &musician->channelMovie_)) {
        return nullptr;
    }
    musician->awaitsFirstPicture_.store(true);
    return musician;
}

bool Musician::replaceMovie(const QString& filename, stage::OpenGLView* view,
                            std::shared_ptr<media::MovieProbe> probe) {
    std::unique_ptr<textures::TextureVisualContext> visualContext;
    std::unique_ptr<media::Movie> movie;
    if (!openChannel(filename, view, std::move(probe), &visualContext, &movie)) return false;
    {
        std::lock_guard guard(channelMutex_);
        channelMovie_.swap(movie);
        visualContext_.swap(visualContext);
        // The new movie has had no size asked of it yet; the next tick asks for the one on
        // screen instead of leaving it at the stage's.
        appliedWidth_ = appliedHeight_ = 0;
        awaitsFirstPicture_.store(true);
    }
    videoFilename_ = filename;
    problem_.clear();
    // The old clip goes outside the lock, movie first; its frame on screen stays until the new
    // clip's first frame replaces it.
    movie.reset();
    visualContext.reset();
    return true;
}

std::unique_ptr<Musician> Musician::standIn(const QString& name, const QString& filename,
                                            const QString& problem) {
    std::unique_ptr<Musician> musician(new Musician);
    musician->musicianName_ = name;
    musician->videoFilename_ = filename;
    musician->problem_ = problem;
    return musician;
}

Musician::~Musician() {
    // The movie goes first: it stops rendering into the visual context before that goes.
    channelMovie_.reset();
    _setCurrentTextureRef(nullptr);
    visualContext_.reset();
}

bool Musician::renderChannel(const platform::VideoTimeStamp* timeStamp) {
    return takeFrame(timeStamp, true);
}

bool Musician::takeFirstPicture() {
    if (!awaitsFirstPicture_.load() || !channelMovie_) return false;
    // The clock runs on while stopped: the picture due at movie time 0 is the clip's first,
    // whatever was decoded after it.
    platform::VideoTimeStamp start;
    start.hostTime = channelMovie_->hostTimeAtMovieTime(0);
    if (start.hostTime != INT64_MIN && takeFrame(&start, false)) return true;
    start.hostTime = platform::hostTimeNow();
    return takeFrame(&start, false);
}

bool Musician::takeFrame(const platform::VideoTimeStamp* timeStamp, bool counted) {
    // A clip being replaced on the main thread sits this tick out rather than stall it.
    std::unique_lock channel(channelMutex_, std::try_to_lock);
    if (!channel.owns_lock() || !channelMovie_) return false;
    const int wantedWidth = wantedWidth_.load(std::memory_order_relaxed);
    const int wantedHeight = wantedHeight_.load(std::memory_order_relaxed);
    if (wantedWidth != appliedWidth_ || wantedHeight != appliedHeight_) {
        // A picture turned by a quarter shows its stored width across the screen's height.
        const bool sideways = channelMovie_->rotationDegrees() % 180 != 0;
        channelMovie_->setPictureSizeLimit(sideways ? wantedHeight : wantedWidth,
                                           sideways ? wantedWidth : wantedHeight);
        appliedWidth_ = wantedWidth;
        appliedHeight_ = wantedHeight;
    }
    visualContext_->task();
    if (!visualContext_->isNewImageAvailable(timeStamp)) return false;
    textures::TextureBufferRef frame;
    visualContext_->copyImageForTime(timeStamp, &frame);
    // A take that yields nothing after a positive answer keeps the frame already shown.
    if (!frame) return false;
    if (counted) countTake(timeStamp, *frame);
    awaitsFirstPicture_.store(false);
    _setCurrentTextureRef(std::move(frame));
    return true;
}

void Musician::countTake(const platform::VideoTimeStamp* timeStamp,
                         const textures::TextureBuffer& frame) {
    constexpr auto relaxed = std::memory_order_relaxed;
    if (stats_.framesTaken.fetch_add(1, relaxed) == 0) {
        stats_.firstTakeHostNs.store(platform::hostTimeNow(), relaxed);
    } else {
        const int64_t gap =
            std::min<int64_t>(timeStamp->videoTime - lastTakeRefresh_, ChannelStats::kMaxGap);
        if (gap >= 0) {
            stats_.gaps[static_cast<size_t>(gap)].fetch_add(1, relaxed);
            if (frame.loopIteration() != lastTakeLoop_) {
                stats_.wraps.fetch_add(1, relaxed);
                stats_.wrapGaps[static_cast<size_t>(gap)].fetch_add(1, relaxed);
                if (gap > stats_.maxWrapGap.load(relaxed)) stats_.maxWrapGap.store(gap, relaxed);
            }
        }
    }
    lastTakeRefresh_ = timeStamp->videoTime;
    lastTakeLoop_ = frame.loopIteration();
}

void Musician::_setCurrentTextureRef(textures::TextureBufferRef frame) {
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

textures::TextureBufferRef Musician::currentTexture() const {
    std::lock_guard guard(frameMutex_);
    return currentTexture_;
}

Musician::Corners Musician::corners() const {
    std::lock_guard guard(frameMutex_);
    return corners_;
}

void Musician::renderMusician() {
    textures::TextureBufferRef frame;
    Corners c;
    {
        std::lock_guard guard(frameMutex_);
        frame = currentTexture_;
        c = corners_;
    }
    if (outlined()) drawOutline();
    // Nothing to show before the first frame (or ever, for a movie without video).
    if (!frame) return;

    const GLenum target = frame->target();
    glEnable(target);
    glBindTexture(target, frame->name());
    glTranslatef(loadCoordinate(position_.x), loadCoordinate(position_.y),
                 loadCoordinate(position_.z));
    wantPictureSizeForCurrentTransform();
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

// A frame a little outside the rectangle, so the picture's own edges stay seen; the colour and
// line state go back as they were, since the texture is modulated by the current colour.
void Musician::drawOutline() const {
    constexpr float kMargin = 0.03f;
    const float halfWidth = 0.5f * width_ + kMargin;
    glPushAttrib(GL_CURRENT_BIT | GL_LINE_BIT | GL_ENABLE_BIT);
    glPushMatrix();
    glTranslatef(loadCoordinate(position_.x), loadCoordinate(position_.y),
                 loadCoordinate(position_.z));
    glDisable(GL_TEXTURE_2D);
    glLineWidth(3.0f);
    glColor3f(1.0f, 0.75f, 0.1f);
    glBegin(GL_LINE_LOOP);
    glVertex3f(-halfWidth, -kMargin, 0.0f);
    glVertex3f(-halfWidth, height_ + kMargin, 0.0f);
    glVertex3f(halfWidth, height_ + kMargin, 0.0f);
    glVertex3f(halfWidth, -kMargin, 0.0f);
    glEnd();
    glPopMatrix();
    glPopAttrib();
}

namespace {

// Steps of the wanted size: small enough to stay sharp, coarse enough that a camera moving
// slowly does not make the decoder change sizes on every frame.
constexpr int kSizeStep = 32;

// `cap` stands for sizes beyond it and for what no size can be had of (coordinates that are
// not finite give NaN or the extents' negative start values): a double that is no int must
// never be made one.
int quantised(double pixels, int cap) {
    if (!(pixels >= 0 && pixels < cap)) return cap;
    const int steps = static_cast<int>(std::ceil(pixels / kSizeStep));
    return std::min(cap, std::max(1, steps) * kSizeStep);
}

// Grows at once (a picture must never look soft), shrinks only past a wide margin.
int withHysteresis(int current, int needed) {
    if (current == 0 || needed > current || needed * 2 < current) return needed;
    return current;
}

}  // namespace

// The billboard's size on screen in pixels is the most picture worth converting and uploading:
// more texels than pixels only cost upload time and memory. Each axis on its own, since the
// picture is stretched to the rectangle anyway; never more than the viewport shows, nor more
// than a texture can hold.
void Musician::wantPictureSizeForCurrentTransform() {
    GLfloat modelview[16], projection[16];
    GLint viewport[4] = {0, 0, 0, 0};
    GLint maxTexture = 0;
    glGetFloatv(GL_MODELVIEW_MATRIX, modelview);
    glGetFloatv(GL_PROJECTION_MATRIX, projection);
    glGetIntegerv(GL_VIEWPORT, viewport);
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTexture);
    if (maxTexture <= 0) maxTexture = 2048;  // the least any GL of this kind offers
    const int capWidth = std::clamp(viewport[2], 1, maxTexture);
    const int capHeight = std::clamp(viewport[3], 1, maxTexture);
    const float halfWidth = 0.5f * width_;
    const float corners[4][2] = {
        {-halfWidth, 0}, {-halfWidth, height_}, {halfWidth, height_}, {halfWidth, 0}};
    double minX = 1e30, maxX = -1e30, minY = 1e30, maxY = -1e30;
    bool behindCamera = false;
    for (const auto& corner : corners) {
        double eye[4], clip[4];
        for (int r = 0; r < 4; ++r) {
            eye[r] = modelview[r] * corner[0] + modelview[4 + r] * corner[1] + modelview[12 + r];
        }
        for (int r = 0; r < 4; ++r) {
            clip[r] = projection[r] * eye[0] + projection[4 + r] * eye[1] +
                      projection[8 + r] * eye[2] + projection[12 + r] * eye[3];
        }
        if (clip[3] <= 1e-6) {
            behindCamera = true;
            break;
        }
        const double x = (clip[0] / clip[3] * 0.5 + 0.5) * viewport[2];
        const double y = (clip[1] / clip[3] * 0.5 + 0.5) * viewport[3];
        minX = std::min(minX, x), maxX = std::max(maxX, x);
        minY = std::min(minY, y), maxY = std::max(maxY, y);
    }
    // Part of it behind the camera: it may fill the screen.
    const int width = behindCamera ? capWidth : quantised(maxX - minX, capWidth);
    const int height = behindCamera ? capHeight : quantised(maxY - minY, capHeight);
    const int currentWidth = wantedWidth_.load(std::memory_order_relaxed);
    const int currentHeight = wantedHeight_.load(std::memory_order_relaxed);
    wantedWidth_.store(std::min(withHysteresis(currentWidth, width), capWidth),
                       std::memory_order_relaxed);
    wantedHeight_.store(std::min(withHysteresis(currentHeight, height), capHeight),
                        std::memory_order_relaxed);
}

}  // namespace loopstage::musician
