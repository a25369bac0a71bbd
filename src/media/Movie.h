#pragma once

#include <QFuture>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/DecodedFrame.h"

namespace loopstage::media {

class Movie;
class MovieProbe;

// Something a movie renders into (the GL side's texture visual context implements it).
// Movie::open calls attachMovie(movie) on the main thread once the movie is open;
// ~Movie calls detachMovie(movie) on the main thread before it stops its decode worker, so the
// sink may still take frames until detachMovie returns. The sink must outlive its movies.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void attachMovie(Movie* movie) = 0;
    virtual void detachMovie(Movie* movie) = 0;
};

// Why a file was refused: what a person can act on.
enum class ProbeRefusal {
    None,
    NotFound,
    Folder,
    NotRegularFile,  // a pipe, device or socket: it may never end or never answer
    Unreadable,      // no permission
    Empty,
    NotAMovie,
    PictureTooLarge,
    NoDecoder,
    CannotDecode,  // the decoder will not open with what the file says about its pictures
    NotAnswering,  // the file did not answer before the probe's deadline
    StillWaiting,  // earlier looks at files that stopped answering have not returned yet
    ListOfFiles,   // a playlist or list of files, which would open what it names
};

// What a file holds, known at open without decoding a picture.
struct MovieFacts {
    std::vector<uint32_t> trackTypes;  // media type of every stream, in stream order
    int videoStream = -1;              // the video track shown (a stream index), -1 for none
    int width = 0, height = 0;         // picture size as stored
    int64_t frameIntervalNs = 0;       // nominal frame period
    int64_t estimatedDurationNs = 0;   // the container's word for one pass, 0 when unknown
    std::string codecName;             // FFmpeg's short name of the video decoder
    double frameRate = 0;              // nominal frames per second, 0 when unknown
    int rotationDegrees = 0;           // clockwise quarter turns that stand the picture upright
};

// A probe's outcome: on success (status 0) the probe, which Movie::open takes over so the file
// is not opened twice; otherwise FFmpeg's (negative) error code and why.
struct ProbeResult {
    int status = 0;
    ProbeRefusal refusal = ProbeRefusal::None;
    std::shared_ptr<MovieProbe> probe;
};

struct MovieOpenProperties {
    MovieOpenProperties(std::string moviePath = {}, bool startActive = true,
                        FrameSink* sink = nullptr)
        : path(std::move(moviePath)), active(startActive), visualContext(sink) {}

    std::string path;
    bool active = true;                  // start decoding at once
    FrameSink* visualContext = nullptr;  // optional
    // A probe of `path` from probeMovie, handed on instead of probing again; optional.
    std::shared_ptr<MovieProbe> probe;
    // The most picture worth converting before anyone says how large the movie is shown (the
    // stage's size in device pixels); 0 for no limit. setPictureSizeLimit replaces it.
    int initialMaxWidth = 0, initialMaxHeight = 0;
    // Called on the decode worker's thread each time a picture is queued first after the start
    // or goToBeginning: whoever shows pictures while nothing takes them in turn learns that one
    // waits. It must return at once and may run after the movie is gone (the worker ends on a
    // thread of its own). Optional.
    std::function<void()> firstPictureQueued;
};

constexpr uint32_t kVideoMediaType = 0x76696465;     // 'vide'
constexpr uint32_t kSoundMediaType = 0x736f756e;     // 'soun'
constexpr uint32_t kTextMediaType = 0x74657874;      // 'text' (timed text subtitles)
constexpr uint32_t kSubtitleMediaType = 0x7362746c;  // 'sbtl' (bitmap and other subtitles)
constexpr uint32_t kDataMediaType = 0x64617461;      // 'data' (timecode, metadata, attachments)
constexpr int32_t kFixed1 = 0x00010000;              // rate 1.0 in 16.16
constexpr uint32_t kLoopTimeBase = 1;

// Counters for tests and benchmarks. Each is a monotonic count since open, read without locks.
struct MovieCounters {
    int64_t framesDecoded = 0;    // pictures out of the decoder
    int64_t framesConverted = 0;  // pictures converted to RGBA and queued
    // Pictures not shown for lack of time: not converted because a newer one was already due,
    // or left out by a decoder that cannot keep up.
    int64_t framesSkippedLate = 0;
    int64_t loopWraps = 0;            // seeks back to the start after a pass
    int64_t decodeErrors = 0;         // packets or frames the decoder refused
    int64_t failedPasses = 0;         // passes that produced no picture at all
    int64_t reopens = 0;              // times the file had to be reopened because seeking failed
    int64_t discontinuities = 0;      // timestamp jumps played through at the nominal cadence
    int64_t catchUpSeeks = 0;         // seeks ahead to a clock the decoder had fallen far behind
    int64_t decoderRebuilds = 0;      // decoders opened again for a new share of the threads
    int discardLevel = 0;             // work a slow decoder leaves out (0: none; 2 at most)
    int64_t decodeNsPerPicture = 0;   // reading and decoding, moving average, waits excluded
    int64_t convertNsPerPicture = 0;  // converting to RGBA at the size shown, moving average
    bool gaveUp = false;              // the worker stopped trying after too many failed passes
};

// One open movie file: the facade over the engine's parts, each in a file of its own with its
// contract: the probe (MovieProbe: what the file holds), the decode worker (DecodeWorker: its
// thread, demuxer, decoder and picture converter), the clock (MovieClock), the pool of RGBA
// frames ahead of the clock (FramePool) and the registry the engine's task call walks. The
// movie and its worker share only MovieShared.
//
// Threads and lifetime:
// - open, the destructor, goToBeginning, setRate, setTimeBaseFlags, setTrackEnabled, setActive
//   and task belong to the main thread (one thread; they are not synchronised with each other).
// - newestSerialAt and takeNewestFrameAt are for the render thread: they never wait for
//   decoding, never allocate, and only hold a short internal mutex. They may run at the same time
//   as any main-thread call except the destructor (the sink's detachMovie marks the end).
// - All const getters may be called from any thread at any time during the movie's life.
// - The decode worker is private: it starts in open (when active) or setActive(true);
//   setActive(false) asks it to stop, wakes it and joins it. The destructor only asks: the
//   worker is joined and freed on a thread kept for that (DecodeWorker::dispose), so closing a
//   movie never waits for a picture being decoded.
// - Frames taken (FrameRef) may outlive the Movie.
class Movie {
public:
    // Main thread. Opens by path, taking over the probe in `properties` when it is one of this
    // path, probing otherwise (probeMovie: bounded wait, no picture decoded; a file whose video
    // decoder will not open is refused there); the worker opens its own decoder and decodes the
    // first picture. On failure returns FFmpeg's (negative) error
    // code and leaves `out` empty; on success 0. A file with no video stream opens (its tracks
    // are listed, it never yields a frame). Refuses pictures larger than kMaxPictureSide on a
    // side or kMaxPicturePixels in all with AVERROR(ERANGE).
    static int open(const MovieOpenProperties& properties, std::unique_ptr<Movie>& out);
    ~Movie();
    Movie(const Movie&) = delete;
    Movie& operator=(const Movie&) = delete;

    static constexpr int kMaxPictureSide = 16384;
    static constexpr int64_t kMaxPicturePixels = int64_t{1} << 28;

    const std::string& path() const;

    // ---- Clock (main thread writes; any thread reads)
    // Movie time back to 0 at the current host time, keeping the rate; decoding restarts from
    // the first frame and loop iteration 0, dropping frames decoded ahead.
    void goToBeginning();
    // 16.16 fixed point; 0 pauses. Negative rates are treated as 0 (no backward decoding).
    void setRate(int32_t fixed16_16);
    int32_t rate() const;
    // Movie time at a host time: (host - hostTimeAtRateSet) * rate + timeAtRateSet, unwrapped
    // (it grows past durationNs across loop passes).
    int64_t movieTimeAt(int64_t hostNs) const;
    // The host time at which the clock shows `movieNs` (INT64_MIN while paused).
    int64_t hostTimeAtMovieTime(int64_t movieNs) const;
    void setTimeBaseFlags(uint32_t flags);  // kLoopTimeBase: loop at the end; default 0: stop
    uint32_t timeBaseFlags() const;

    // ---- Tracks: numbered from 1, one per stream, in stream order
    int trackCount() const;
    uint32_t trackMediaType(int track) const;  // 0 for a bad index
    bool trackEnabled(int track) const;        // all enabled after open; false for a bad index
    // Disabled tracks are neither demuxed (AVDISCARD_ALL, applied by the worker before its next
    // read) nor decoded. Disabling the video track parks the worker until it is enabled again.
    void setTrackEnabled(int track, bool enabled);
    // Packets the worker has read for a track (0 for a bad index).
    int64_t trackPacketsRead(int track) const;

    // ---- Video facts
    // Span of one pass of the video: an estimate from the container until the first pass ends,
    // then exact: (last frame pts + its duration) - first pts. 0 without video.
    int64_t durationNs() const;
    bool durationIsMeasured() const;
    const std::string& codecName() const;  // FFmpeg's short name of the video decoder
    double frameRate() const;              // nominal frames per second, 0 when unknown
    // Clockwise quarter turns (0, 90, 180, 270) that stand the picture upright, from the
    // clip's display matrix.
    int rotationDegrees() const;
    int width() const;  // picture size as stored, 0 without video
    int height() const;
    bool hasVideo() const;

    // ---- Picture size (any thread)
    // The largest picture worth converting, per axis: pictures are scaled down (each axis on
    // its own) to fit, never up. 0 means no limit. Frames already queued keep their size.
    void setPictureSizeLimit(int maxWidth, int maxHeight);

    // ---- Render thread
    // Serial of the newest decoded frame not yet taken whose timeNs <= movieTimeAt(hostNs);
    // 0 when no such frame is waiting (nothing due yet, or the due one was already taken).
    int64_t newestSerialAt(int64_t hostNs) const;
    // Takes that frame; older waiting frames are recycled. Empty if none.
    FrameRef takeNewestFrameAt(int64_t hostNs);
    // The facts (serial, timeNs, loopIteration, size; pixels must not be read) of the frame
    // takeNewestFrameAt would return, without taking it. False if none.
    bool peekNewestFrameAt(int64_t hostNs, DecodedFrame& out) const;
    // Movie time of the newest decoded frame waiting to be taken; INT64_MIN when none waits.
    int64_t decodedAheadUntilNs() const;

    // ---- Main thread
    // Starts or stops (joins) the decode worker; decoding resumes where it was.
    void setActive(bool active);
    bool isActive() const;
    // Handles what the worker posted: logs each kind of trouble once per movie.
    void task();
    // True the first time it is asked once the worker has given up on the clip
    // (MovieCounters::gaveUp), false before and ever after: whoever tells the user tells once.
    bool takeGaveUpNotice();

    MovieCounters counters() const;
    // Pool facts for tests: frames currently out of the free list (queued, lent or being
    // written) and the pool's fixed size.
    int framesInUse() const;
    int poolSize() const;

    struct Impl;

private:
    explicit Movie(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d_;
};

// Main thread: runs task() of every open movie.
struct MovieEngine {
    static void task();
    static int openMovieCount();
    // Workers of closed movies not freed yet: their threads have not returned (one blocked in
    // a read of a file that stopped answering stays until the read returns).
    static int workersBeingDisposed();
    // Threads looking at files for probeMovie that have not returned yet, whether or not
    // anyone still waits for them.
    static int probesRunning();
};

// Looks at a file the way Movie::open does, without decoding a picture: only regular files are
// opened, nothing but the file itself (playlists and lists of files are refused unread), and
// every read has a deadline. Any thread; the caller waits at most about 1.5 s, whatever the file
// does (the looking runs on a thread of its own, left to end by itself when the file does not
// answer; while a few such are left, files are refused at once as StillWaiting).
ProbeResult probeMovie(const std::string& path);
ProbeResult probeMovie(const QString& path);
// probeMovie on a thread of its own, for a caller that must not wait at all: returns at once, and
// the future holds the result (always one) within about 1.5 s.
QFuture<ProbeResult> probeMovieLater(const QString& path);

// probeMovie's verdict alone: true for exactly the files Movie::open accepts (a file with no
// video stream counts as openable).
bool canOpenMovie(const std::string& path);
bool canOpenMovie(const QString& path);

}  // namespace loopstage::media
