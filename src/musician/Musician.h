#pragma once

#include <QString>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "graphics/Vector4.h"
#include "platform/VideoTimeStamp.h"
#include "textures/TextureBuffer.h"

namespace loopstage::media {
class Movie;
class MovieProbe;
}  // namespace loopstage::media

namespace loopstage::textures {
class TextureVisualContext;
}  // namespace loopstage::textures

namespace loopstage::stage {
class OpenGLView;
}

namespace loopstage::musician {

// What a musician's frame takes measure, written by the render tick only and read from any
// thread without locks. Gaps are counted in display refreshes between two distinct frames.
struct ChannelStats {
    static constexpr int kMaxGap = 16;
    std::atomic<int64_t> framesTaken{0};
    std::atomic<int64_t> firstTakeHostNs{0};  // host time of the first take, 0 before it
    std::atomic<int64_t> wraps{0};            // loop wraps that reached the screen
    std::atomic<int64_t> maxWrapGap{0};       // longest gap across a wrap
    // gaps[g]: takes that came g refreshes after the previous one (the last slot: g or more).
    std::array<std::atomic<int64_t>, kMaxGap + 1> gaps{};
    std::array<std::atomic<int64_t>, kMaxGap + 1> wrapGaps{};
};

// One video channel: a movie opened once, playing for ever in a loop with its video only, whose
// newest frame stands in the scene as an upright 1 x 1 textured rectangle.
//
// Threads: creation, teardown and the accessors run on the main thread. renderChannel() runs on
// the display link's thread outside the view's lock; renderMusician() runs under the view's lock
// on whichever thread outputs the frame (the display link's, or the main thread on a reshape).
// The current frame and its corners change together under a small lock, and a drawing holds its
// own reference to the frame it binds, so it never uses a released texture or another frame's
// corners. Coordinates are written and read whole (atomically): use storeCoordinate().
//
// Ownership: the musician owns its strings, movie, visual context and current frame, and keeps no
// reference to the view. It must not be destroyed while a tick or a drawing may use it.
class Musician {
public:
    // Null (after one log line) when the visual context or the movie cannot be made. `probe`,
    // when given, is the file's probe from media::probeMovie, so the file is not read twice.
    static std::unique_ptr<Musician> initWithName(
        const QString& name, const QString& filename, stage::OpenGLView* view,
        std::shared_ptr<media::MovieProbe> probe = nullptr);
    // A row kept for a clip that could not be opened (a show names a file that went missing):
    // it has no movie, takes no frames and draws nothing until a file replaces it, and says why.
    static std::unique_ptr<Musician> standIn(const QString& name, const QString& filename,
                                             const QString& problem);
    ~Musician();
    Musician(const Musician&) = delete;
    Musician& operator=(const Musician&) = delete;

    QString musicianName() const { return musicianName_; }
    void setMusicianName(const QString& name) { musicianName_ = name; }
    QString videoFilename() const { return videoFilename_; }
    void setVideoFilename(const QString& filename) { videoFilename_ = filename; }
    bool visible() const { return visible_; }
    void setVisible(bool visible) { visible_ = visible; }
    // The musician's own position; write its coordinates through storeCoordinate().
    graphics::Vector4* position() { return &position_; }
    const graphics::Vector4* position() const { return &position_; }
    float width() const { return width_; }
    float height() const { return height_; }

    // Main thread: plays another file instead. The new movie and visual context are opened
    // first; only when both open are the old ones disposed and the file name changed. On failure
    // (logged like creation) the musician keeps its clip and file name. Never stalls a tick.
    bool replaceMovie(const QString& filename, stage::OpenGLView* view,
                      std::shared_ptr<media::MovieProbe> probe = nullptr);

    bool renderChannel(const platform::VideoTimeStamp* timeStamp);
    void renderMusician();
    // Main thread, while no tick runs: takes the first picture of a clip opened or replaced
    // since the last take, once its decoder has it (the view is asked for a frame then); true
    // when the picture on show changed. The take is not counted as played.
    bool takeFirstPicture();
    // Drawn with a frame around it (selected); any thread.
    void setOutlined(bool outlined) { outlined_.store(outlined, std::memory_order_relaxed); }
    bool outlined() const { return outlined_.load(std::memory_order_relaxed); }

    // Null for a stand-in.
    media::Movie* channelMovie() const { return channelMovie_.get(); }
    // Why a stand-in has no clip; empty once a file plays.
    QString problem() const { return problem_; }
    textures::TextureVisualContext* visualContext() const { return visualContext_.get(); }
    textures::TextureBufferRef currentTexture() const;
    struct Corners {
        textures::TextureBuffer::TexCoord lowerLeft, lowerRight, upperRight, upperLeft;
    };
    Corners corners() const;

    const ChannelStats& stats() const { return stats_; }
    // The picture size the last drawing needed, in texels per axis (0 before the first
    // drawing): never more than the viewport or the largest texture.
    int wantedPictureWidth() const { return wantedWidth_.load(std::memory_order_relaxed); }
    int wantedPictureHeight() const { return wantedHeight_.load(std::memory_order_relaxed); }

    // Whole-value access to a coordinate shared with the drawing thread.
    static void storeCoordinate(float& coordinate, float value);
    static float loadCoordinate(const float& coordinate);

private:
    Musician() = default;
    void _setCurrentTextureRef(textures::TextureBufferRef frame);
    bool takeFrame(const platform::VideoTimeStamp* timeStamp, bool counted);
    void drawOutline() const;
    void wantPictureSizeForCurrentTransform();
    void countTake(const platform::VideoTimeStamp* timeStamp, const textures::TextureBuffer& frame);
    // Opens a visual context and a movie playing into it, looping from its start at normal
    // speed with its video tracks only; logs and returns false when either cannot be made.
    static bool openChannel(const QString& filename, stage::OpenGLView* view,
                            std::shared_ptr<media::MovieProbe> probe,
                            std::unique_ptr<textures::TextureVisualContext>* visualContext,
                            std::unique_ptr<media::Movie>* movie);

    QString musicianName_;
    QString videoFilename_;
    QString problem_;
    alignas(16) graphics::Vector4 position_{};
    float width_ = 1.0f;
    float height_ = 1.0f;
    bool visible_ = true;
    std::atomic<bool> outlined_{false};
    // A clip opened whose first picture nobody took yet.
    std::atomic<bool> awaitsFirstPicture_{false};
    // Replaced together under channelMutex_, which a tick only tries to take.
    std::mutex channelMutex_;
    std::unique_ptr<media::Movie> channelMovie_;
    std::unique_ptr<textures::TextureVisualContext> visualContext_;

    ChannelStats stats_;
    // Written by drawing (under the view's lock), read by the tick that passes it on.
    std::atomic<int> wantedWidth_{0};
    std::atomic<int> wantedHeight_{0};
    int appliedWidth_ = 0;  // the render tick's own
    int appliedHeight_ = 0;
    // The render tick's own bookkeeping for stats_.
    int64_t lastTakeRefresh_ = -1;
    int64_t lastTakeLoop_ = 0;

    mutable std::mutex frameMutex_;
    textures::TextureBufferRef currentTexture_;  // guarded by frameMutex_
    Corners corners_;                            // guarded by frameMutex_
};

}  // namespace loopstage::musician
