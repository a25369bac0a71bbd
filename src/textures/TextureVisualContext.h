#pragma once

#include <QSurfaceFormat>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>

#include "media/Movie.h"
#include "platform/VideoTimeStamp.h"
#include "textures/TextureBuffer.h"

class QOpenGLContext;

namespace loopstage::textures {

// Where a clip stands in its share group's upload budget: the tick it was last refused on, and
// the tick of its first refusal since it last took a picture (its age in the queue).
struct UploadTurn {
    int64_t refusedTick = INT64_MIN;
    int64_t since = INT64_MAX;
};

enum VisualContextStatus : int {
    kVisualContextSuccess = 0,
    kVisualContextNoSharedContext = -108,
    kVisualContextInvalidPixelFormat = -109,
    kVisualContextNoMovie = -110,
    kVisualContextNoTexture = -111,
};

// A movie's frames as OpenGL textures usable in every context sharing objects with the shared
// context it was made on. A movie renders into it (Movie::open attaches itself); the render
// tick asks whether a new image is due and takes it.
//
// Threads: created and destroyed on the main thread; task(), isNewImageAvailable() and
// copyImageForTime() run on the display link's thread (one tick at a time). Textures are
// uploaded lazily in the drawing context (TextureBuffer::name()), which on Mesa's llvmpipe is
// about 25 times cheaper than an upload from a second context. The texture pool outlives this
// object while any TextureBuffer still holds one of its textures; its GL names belong to the
// shared context's share group and are deleted with a context of that group current (at the
// next upload, or when a context of the group is about to be destroyed), never elsewhere.
// All visual contexts of one share group share one upload budget per tick: a clip whose new
// picture would overrun it reports no new image, and the clips refused longest ago go first
// on the next tick, so while the budget is saturated the clips take turns.
// detachMovie waits for a tick inside a call on that movie; after it the movie is not touched.
class TextureVisualContext final : public media::FrameSink {
public:
    static constexpr int kTexturesPerContext = 4;
    // Bytes of pictures a tick may take for upload across all clips of one share group.
    // Uploads run in the drawing context under the view's lock (about 12 MB per ms on Mesa's
    // llvmpipe here), so a tick where many clips bring large new pictures would miss its
    // refresh; clips beyond the budget take their frame on a later tick instead, those
    // refused longest ago first. The first take of a tick always passes, so a picture larger
    // than the budget still gets through.
    static constexpr int64_t kUploadBudgetBytes = 24 << 20;

    static int create(QOpenGLContext* sharedContext, const QSurfaceFormat& pixelFormat,
                      std::unique_ptr<TextureVisualContext>* out);
    ~TextureVisualContext() override;

    void attachMovie(media::Movie* movie) override;
    void detachMovie(media::Movie* movie) override;

    void task();
    bool isNewImageAvailable(const platform::VideoTimeStamp* timeStamp) const;
    // Hands out the frame due at the time stamp, owned by the caller. Fails with a non-zero
    // status and leaves `out` empty when no frame is due or every texture is in use.
    int copyImageForTime(const platform::VideoTimeStamp* timeStamp, TextureBufferRef* out);

    // Textures in use now (held by buffers), for tests and figures.
    int texturesInUse() const;

private:
    explicit TextureVisualContext(std::shared_ptr<TexturePool> pool);

    std::shared_ptr<TexturePool> pool_;
    // Set and cleared on the main thread; a tick holds the mutex through its calls on the movie.
    mutable std::mutex movieMutex_;
    media::Movie* movie_ = nullptr;
    int64_t lastSerial_ = 0;
    mutable UploadTurn uploadTurn_;  // the ticks
};

}  // namespace loopstage::textures
