#include "textures/TextureVisualContext.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/Displays.h"

namespace loopstage::textures {

namespace {

constexpr const char* kShareGroupStateName = "loopstage-share-group-textures";

}  // namespace

// What the clips of one share group have in common: texture names whose pool is gone, waiting
// to be deleted with a context of the group current, and the current tick's upload budget.
//
// Threads: pools bury names from any thread; names are deleted on the thread that uploads
// (under the view's lock) or on the main thread when a context of the group is about to go.
// The budget is kept by the render ticks, under a mutex of its own.
struct ShareGroupState {
    std::mutex mutex;
    std::vector<GLuint> buried;  // guarded by mutex
    bool groupGone = false;      // guarded by mutex: the names died with the group

    void bury(GLuint name) {
        std::lock_guard guard(mutex);
        if (!groupGone) buried.push_back(name);
    }
    // With a context of the group current.
    void deleteBuried() {
        std::vector<GLuint> names;
        {
            std::lock_guard guard(mutex);
            if (buried.empty()) return;
            names.swap(buried);
        }
        glDeleteTextures(static_cast<GLsizei>(names.size()), names.data());
    }
    // False when the take would overrun this tick's budget or the share of clips waiting
    // longer; the refusal then counts towards the clip's turn on the next tick.
    bool mayTake(UploadTurn& turn, int64_t now, int64_t bytes) {
        std::lock_guard guard(budgetMutex);
        turnTo(now);
        const bool waiting = isWaiting(turn);
        const bool ok =
            waiting && turn.since <= firstAge
                ? spent == 0 || spent + bytes <= TextureVisualContext::kUploadBudgetBytes
                : (spent == 0 && firstBytes == 0) ||
                      spent + firstBytes + bytes <= TextureVisualContext::kUploadBudgetBytes;
        if (ok || turn.refusedTick == tick) return ok;
        if (!waiting) turn.since = tick;
        turn.refusedTick = tick;
        if (turn.since < nextAge) nextAge = turn.since, nextBytes = 0;
        if (turn.since == nextAge) nextBytes += bytes;
        return false;
    }
    void charge(UploadTurn& turn, int64_t now, int64_t bytes) {
        std::lock_guard guard(budgetMutex);
        turnTo(now);
        const bool waiting = isWaiting(turn);
        if (waiting && turn.since <= firstAge)
            firstBytes = std::max<int64_t>(0, firstBytes - bytes);
        spent += bytes;
        turn = {};
    }

private:
    // The current tick's upload budget, guarded by budgetMutex (held only for a few sums).
    // Ticks are told apart by their output time. Clips refused on one tick have the next one
    // reserved for the longest waiting of them: `firstAge` is the tick of their first refusal
    // and `firstBytes` what they still wait to take; `next*` gathers the same for the next tick.
    std::mutex budgetMutex;
    int64_t tick = INT64_MIN, previousTick = INT64_MIN, spent = 0;
    int64_t firstAge = INT64_MAX, firstBytes = 0, nextAge = INT64_MAX, nextBytes = 0;

    // Refused on the last tick or this one, and not served since.
    bool isWaiting(const UploadTurn& turn) const {
        return turn.since != INT64_MAX &&
               (turn.refusedTick == previousTick || turn.refusedTick == tick);
    }
    void turnTo(int64_t now) {
        if (now == tick) return;
        previousTick = std::exchange(tick, now);
        spent = 0;
        firstAge = std::exchange(nextAge, INT64_MAX);
        firstBytes = std::exchange(nextBytes, 0);
    }
};

namespace {

// Lives as a child of the share group, so it goes when the group's last context has gone; the
// state it hands out may outlive it (pools that die later only drop their names then). Before
// any context of the group goes, the buried names are deleted in it: nothing is left to the
// driver's clean-up of a whole group.
class ShareGroupKeeper final : public QObject {
public:
    explicit ShareGroupKeeper(QOpenGLContextGroup* group)
        : QObject(group), state_(std::make_shared<ShareGroupState>()) {
        setObjectName(QLatin1String(kShareGroupStateName));
        surface_.setFormat(platform::defaultPixelFormat());
        surface_.create();
    }
    ~ShareGroupKeeper() override {
        std::lock_guard guard(state_->mutex);
        state_->groupGone = true;
        state_->buried.clear();
    }

    // Main thread: the state of `context`'s share group, made on first use.
    static std::shared_ptr<ShareGroupState> of(QOpenGLContext* context) {
        QOpenGLContextGroup* group = context->shareGroup();
        auto* keeper = dynamic_cast<ShareGroupKeeper*>(group->findChild<QObject*>(
            QLatin1String(kShareGroupStateName), Qt::FindDirectChildrenOnly));
        if (!keeper) keeper = new ShareGroupKeeper(group);
        keeper->watch(group->shares());
        return keeper->state_;
    }

private:
    void watch(const QList<QOpenGLContext*>& contexts) {
        for (QOpenGLContext* context : contexts) {
            if (watched_.contains(context)) continue;
            watched_.append(context);
            // Direct: the context must still be whole while its group's names are deleted.
            connect(
                context, &QOpenGLContext::aboutToBeDestroyed, this,
                [this, context] { contextAboutToGo(context); }, Qt::DirectConnection);
        }
    }
    void contextAboutToGo(QOpenGLContext* context) {
        watched_.removeAll(context);
        QOpenGLContext* previous = QOpenGLContext::currentContext();
        QSurface* previousSurface = previous ? previous->surface() : nullptr;
        if (context->isValid() && context->makeCurrent(&surface_)) {
            state_->deleteBuried();
            context->doneCurrent();
        }
        // Whatever this thread had current before stays so.
        if (previous && previous != context && previousSurface)
            previous->makeCurrent(previousSurface);
    }

    std::shared_ptr<ShareGroupState> state_;
    QOffscreenSurface surface_;
    QList<QOpenGLContext*> watched_;
};

}  // namespace

// The textures of one visual context and the memory for the buffers that hand them out.
class TexturePool {
public:
    static constexpr int kSlots = TextureVisualContext::kTexturesPerContext;
    static constexpr std::size_t kBlockSize = 160;
    static constexpr int kBlocks = kSlots * 2;

    explicit TexturePool(std::shared_ptr<ShareGroupState> group) : group_(std::move(group)) {}
    ~TexturePool() {
        for (Slot& slot : slots_) {
            if (slot.name != 0) group_->bury(slot.name);
        }
    }

    ShareGroupState& group() { return *group_; }

    int acquire(media::FrameRef frame) {
        std::lock_guard guard(mutex_);
        for (int i = 0; i < kSlots; ++i) {
            if (!slots_[i].inUse) {
                slots_[i].inUse = true;
                slots_[i].pending = std::move(frame);
                return i;
            }
        }
        return -1;
    }

    void release(int slot) {
        media::FrameRef dropped;
        std::lock_guard guard(mutex_);
        dropped = std::move(slots_[slot].pending);
        slots_[slot].inUse = false;
    }

    int inUse() const {
        std::lock_guard guard(mutex_);
        int n = 0;
        for (const Slot& slot : slots_) n += slot.inUse ? 1 : 0;
        return n;
    }

    // With a context of the share group current, under the view's lock: the texture name,
    // uploading the waiting picture first.
    GLuint upload(int index) {
        Slot& slot = slots_[index];
        media::FrameRef frame;
        {
            std::lock_guard guard(mutex_);
            frame = std::move(slot.pending);
        }
        group_->deleteBuried();
        if (slot.name == 0) glGenTextures(1, &slot.name);
        if (!frame) return slot.name;
        const media::DecodedFrame* picture = frame.get();
        glBindTexture(GL_TEXTURE_2D, slot.name);
        if (slot.width != picture->width || slot.height != picture->height) {
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, picture->width, picture->height, 0, GL_RGBA,
                         GL_UNSIGNED_BYTE, nullptr);
            slot.width = picture->width;
            slot.height = picture->height;
        }
        if (picture->strideBytes % 4 == 0) {
            glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
            glPixelStorei(GL_UNPACK_ROW_LENGTH, picture->strideBytes / 4);
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, picture->width, picture->height, GL_RGBA,
                            GL_UNSIGNED_BYTE, picture->pixels);
            glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        } else {
            glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
            for (int row = 0; row < picture->height; ++row) {
                glTexSubImage2D(GL_TEXTURE_2D, 0, 0, row, picture->width, 1, GL_RGBA,
                                GL_UNSIGNED_BYTE, picture->pixels + row * picture->strideBytes);
            }
            glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
        }
        return slot.name;
    }

    void* allocateBlock(std::size_t bytes) {
        if (bytes <= kBlockSize) {
            std::lock_guard guard(mutex_);
            for (int i = 0; i < kBlocks; ++i) {
                if (!blockUsed_[i]) {
                    blockUsed_[i] = true;
                    return blocks_[i].bytes;
                }
            }
        }
        return ::operator new(bytes);
    }

    void deallocateBlock(void* block) {
        for (int i = 0; i < kBlocks; ++i) {
            if (block == blocks_[i].bytes) {
                std::lock_guard guard(mutex_);
                blockUsed_[i] = false;
                return;
            }
        }
        ::operator delete(block);
    }

private:
    struct Slot {
        bool inUse = false;       // guarded by mutex_
        media::FrameRef pending;  // guarded by mutex_
        GLuint name = 0;          // the rest only with the drawing context current
        int width = 0;
        int height = 0;
    };
    struct alignas(std::max_align_t) Block {
        unsigned char bytes[kBlockSize];
    };

    const std::shared_ptr<ShareGroupState> group_;
    mutable std::mutex mutex_;
    std::array<Slot, kSlots> slots_{};
    std::array<Block, kBlocks> blocks_{};
    std::array<bool, kBlocks> blockUsed_{};
};

namespace {

// Lets allocate_shared put a buffer and its reference count into the pool's own blocks, so a
// take allocates nothing. The copy held by the shared state keeps the pool (and so the block)
// alive until the block is given back.
template <typename T>
struct PoolAllocator {
    using value_type = T;
    std::shared_ptr<TexturePool> pool;

    explicit PoolAllocator(std::shared_ptr<TexturePool> p) : pool(std::move(p)) {}
    template <typename U>
    PoolAllocator(const PoolAllocator<U>& other) : pool(other.pool) {}

    T* allocate(std::size_t n) { return static_cast<T*>(pool->allocateBlock(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) { pool->deallocateBlock(p); }

    template <typename U>
    bool operator==(const PoolAllocator<U>& other) const {
        return pool == other.pool;
    }
};

}  // namespace

TextureBuffer::TextureBuffer(std::shared_ptr<TexturePool> pool, int slot, int64_t serial,
                             int64_t timeNs, int64_t loopIteration, int rotationDegrees)
    : pool_(std::move(pool)),
      slot_(slot),
      serial_(serial),
      timeNs_(timeNs),
      loopIteration_(loopIteration),
      rotationDegrees_(rotationDegrees) {}

TextureBuffer::~TextureBuffer() { pool_->release(slot_); }

GLuint TextureBuffer::name() { return pool_->upload(slot_); }

void TextureBuffer::cleanTexCoords(TexCoord* lowerLeft, TexCoord* lowerRight, TexCoord* upperRight,
                                   TexCoord* upperLeft) const {
    // Pictures are uploaded top row first and textures are sized to the picture exactly, so the
    // stored picture's top lies at t = 0 and nothing needs cropping. Its corners clockwise from
    // the upper left; turning the picture clockwise by a quarter makes each seen corner show
    // the stored corner one step back.
    static constexpr TexCoord kStored[4] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    const int turn = rotationDegrees_ / 90;
    auto seen = [turn](int corner) { return kStored[((corner - turn) % 4 + 4) % 4]; };
    *upperLeft = seen(0);
    *upperRight = seen(1);
    *lowerRight = seen(2);
    *lowerLeft = seen(3);
}

namespace {

int64_t pictureBytes(const media::DecodedFrame& picture) {
    return int64_t{picture.width} * picture.height * 4;
}

}  // namespace

int TextureVisualContext::create(QOpenGLContext* sharedContext, const QSurfaceFormat& pixelFormat,
                                 std::unique_ptr<TextureVisualContext>* out) {
    out->reset();
    if (!sharedContext || !sharedContext->isValid()) return kVisualContextNoSharedContext;
    if (pixelFormat.renderableType() != QSurfaceFormat::OpenGL &&
        pixelFormat.renderableType() != QSurfaceFormat::DefaultRenderableType) {
        return kVisualContextInvalidPixelFormat;
    }
    out->reset(new TextureVisualContext(
        std::make_shared<TexturePool>(ShareGroupKeeper::of(sharedContext))));
    return kVisualContextSuccess;
}

TextureVisualContext::TextureVisualContext(std::shared_ptr<TexturePool> pool)
    : pool_(std::move(pool)) {}

TextureVisualContext::~TextureVisualContext() = default;

void TextureVisualContext::attachMovie(media::Movie* movie) {
    std::lock_guard guard(movieMutex_);
    movie_ = movie;
}

// Waits out a tick inside a call on the movie: the calls are short and never wait for decoding.
void TextureVisualContext::detachMovie(media::Movie* movie) {
    std::lock_guard guard(movieMutex_);
    if (movie_ == movie) movie_ = nullptr;
}

// Frames arrive through the movie's own queue and are uploaded when first drawn, so a tick has
// no periodic work to do here.
void TextureVisualContext::task() {}

bool TextureVisualContext::isNewImageAvailable(const platform::VideoTimeStamp* timeStamp) const {
    std::lock_guard guard(movieMutex_);
    if (!movie_) return false;
    media::DecodedFrame due;
    if (!movie_->peekNewestFrameAt(timeStamp->hostTime, due) || due.serial == lastSerial_)
        return false;
    return pool_->group().mayTake(uploadTurn_, timeStamp->hostTime, pictureBytes(due));
}

int TextureVisualContext::copyImageForTime(const platform::VideoTimeStamp* timeStamp,
                                           TextureBufferRef* out) {
    out->reset();
    std::lock_guard guard(movieMutex_);
    if (!movie_) return kVisualContextNoMovie;
    media::FrameRef frame = movie_->takeNewestFrameAt(timeStamp->hostTime);
    if (!frame) return kVisualContextNoMovie;
    const media::DecodedFrame picture = *frame.get();
    const int slot = pool_->acquire(std::move(frame));
    if (slot < 0) return kVisualContextNoTexture;
    lastSerial_ = picture.serial;
    pool_->group().charge(uploadTurn_, timeStamp->hostTime, pictureBytes(picture));
    *out = std::allocate_shared<TextureBuffer>(PoolAllocator<TextureBuffer>(pool_), pool_, slot,
                                               picture.serial, picture.timeNs,
                                               picture.loopIteration, movie_->rotationDegrees());
    return kVisualContextSuccess;
}

int TextureVisualContext::texturesInUse() const { return pool_->inUse(); }

}  // namespace loopstage::textures
