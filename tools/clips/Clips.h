#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Test movie files made on the fly with libavcodec/libavformat, so no binary clip is ever
// committed. Every function here is safe to call from any one test thread at a time; the temp
// directory is per process and removed when the process exits normally.
namespace loopstage::clips {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
};

struct ClipSpec {
    enum class Codec {
        H264,   // libx264 when the encoder exists, otherwise MPEG-4 Visual (see h264Available)
        Mpeg4,  // MPEG-4 Visual, 4:2:0 only
        Mjpeg,  // intra-only, full-range 4:2:0/4:2:2/4:4:4
        Ffv1,   // lossless, any size, 10-bit, alpha, gray (use mkv, avi or mov)
        Png,    // lossless RGB/RGBA, intra-only (use mov or mkv)
    };
    enum class PixelFormat { Yuv420p, Yuv422p, Yuv444p, Yuv420p10, Yuva420p, Rgba, Gray };

    int width = 64, height = 48;
    int fpsNum = 30, fpsDen = 1;
    int frames = 30;
    Codec codec = Codec::H264;
    bool bFrames = true;
    int gop = 12;
    PixelFormat pixelFormat = PixelFormat::Yuv420p;
    double startTimeSeconds = 0;  // presentation time of the first frame in the file
    // The stream's clock jumps ahead by this much before frame `timestampJumpAtFrame`, as in a
    // recording cut together from two: a player shows the frames at their cadence regardless.
    double timestampJumpSeconds = 0;
    int timestampJumpAtFrame = 0;
    bool audioStream = false;  // silent AAC track as long as the video
    bool dataStream = false;   // timecode ('tmcd') data track: mov/mp4 only
    bool videoStream = true;
    bool variableFrameRate = false;  // frame durations alternate 1 and 2 nominal periods
    std::string container = "mp4";   // "mp4", "mov", "mkv", "avi", "mpegts"
    // Clockwise turn (0, 90, 180, 270) a player must apply to stand the pictures upright, as
    // phones record it in the display matrix (mp4/mov).
    int rotationDegrees = 0;
    // Pictures like a camera's (texture that moves, sensor noise) instead of flat colours, so
    // that decoding costs what real footage costs; the centre keeps the frame's colour.
    bool cameraLike = false;
    // Target bit rate of H.264 in kbit/s (0: near-lossless quality, the tests' default).
    int bitrateKbps = 0;
    // Frames (by index) whose coded packet is overwritten with random bytes in the file.
    std::vector<int> corruptFrames = {};
    // The matrix the pictures are coded with and tagged as, in FFmpeg's numbering (1 BT.709,
    // 2 untagged: coded as BT.601, 5 BT.601, 9 BT.2020), and whether they use the full range
    // (8-bit 4:2:0 then as yuvj420p, as cameras write it). MJPEG is always full range.
    int colorspace = 5;
    bool fullRange = false;
    // Every frame's body in this colour instead of its own.
    std::optional<Rgb> flatColour = std::nullopt;
    // The last byte of the decoder's set-up data (extradata) is flipped in the file. FFV1 then
    // stores set-up data with a checksum, and its decoder refuses to open with it.
    bool corruptCodecSetup = false;
};

// Writes the clip. Returns false with a reason when an encoder or muxer is missing or fails.
bool writeClip(const std::string& path, const ClipSpec& recipe, std::string* error = nullptr);

// True when libavcodec has the libx264 encoder (ClipSpec::Codec::H264 is then real H.264).
bool h264Available();

// The picture of frame i: the top eighth of the rows (at least one) is white, all the rest is
// colourOfFrame(i), so the centre of the picture carries the frame's identity. Levels are 32
// apart so they survive lossy coding and colour conversion.
Rgb colourOfFrame(int index);
// Inverse of colourOfFrame: -1 unless every channel is within `tolerance` of a level.
int frameIndexOfColour(Rgb colour, int tolerance = 14);
// Alpha written below the white band in alpha clips (Yuva420p, Rgba); the band itself is opaque.
constexpr uint8_t kClipBodyAlpha = 160;

// Presentation time of every frame relative to the first one, in seconds (VFR aware).
std::vector<double> framePresentationSeconds(const ClipSpec& recipe);
// Span of one pass: last frame's presentation time plus its duration.
double clipDurationSeconds(const ClipSpec& recipe);
// Index of the frame showing at `seconds` of (unwrapped, looping) movie time.
int expectedFrameAt(const ClipSpec& recipe, double seconds);

// Mean colour of a small box at the centre of an RGBA picture (top row first).
struct Rgba {
    uint8_t r = 0, g = 0, b = 0, a = 0;
};
Rgba centreColour(const uint8_t* pixels, int width, int height, int strideBytes);
// Colour of the pixel in the middle of the first row (inside the white band when upright).
Rgba topRowColour(const uint8_t* pixels, int width, int strideBytes);

// The centre colour of the clip's first picture as FFmpeg converts it on its own: decoded with
// libavcodec, turned into RGBA at full size by a fresh swscale context set to the picture's
// matrix (untagged: BT.709 from 720 rows up, BT.601 below) and range. Empty when unreadable.
std::optional<Rgba> firstPictureCentre(const std::string& path);

// A path in this process's temp directory (created on first use, removed at exit).
std::string tempClipPath(const std::string& name);

}  // namespace loopstage::clips
