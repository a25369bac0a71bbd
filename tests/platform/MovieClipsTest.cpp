// The clip generator is the ground truth of every movie test, so it is checked against a plain
// libavcodec decode: if a clip is not what its ClipSpec describes, the movie tests prove nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "support/TestClips.h"

namespace loopstage::test {
namespace {

constexpr int kVideo = 0;  // AVMEDIA_TYPE_VIDEO
constexpr int kAudio = 1;  // AVMEDIA_TYPE_AUDIO
constexpr int kData = 2;   // AVMEDIA_TYPE_DATA

TEST(ClipColours, EveryIndexRoundTripsAndNeighboursDiffer) {
    for (int i = 0; i < 512; ++i) {
        const Rgb c = colourOfFrame(i);
        EXPECT_EQ(frameIndexOfColour(c), i);
        // Worst case of lossy coding: every channel off by 12.
        const Rgb off{static_cast<uint8_t>(c.r + (c.r > 128 ? -12 : 12)),
                      static_cast<uint8_t>(c.g + (c.g > 128 ? -12 : 12)),
                      static_cast<uint8_t>(c.b + (c.b > 128 ? -12 : 12))};
        EXPECT_EQ(frameIndexOfColour(off), i);
    }
    EXPECT_EQ(frameIndexOfColour(Rgb{255, 255, 255}), -1) << "the white band is no frame";
    EXPECT_EQ(frameIndexOfColour(Rgb{0, 0, 0}), -1);
}

TEST(ClipTiming, VariableFrameRateAlternatesOneAndTwoPeriods) {
    ClipSpec recipe;
    recipe.fpsNum = 10;
    recipe.frames = 5;
    recipe.variableFrameRate = true;
    const auto t = framePresentationSeconds(recipe);
    ASSERT_EQ(t.size(), 5u);
    const double expected[5] = {0.0, 0.1, 0.3, 0.4, 0.6};
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(t[static_cast<size_t>(i)], expected[i], 1e-9);
    EXPECT_NEAR(clipDurationSeconds(recipe), 0.7, 1e-9);
    EXPECT_EQ(expectedFrameAt(recipe, 0.29), 1);
    EXPECT_EQ(expectedFrameAt(recipe, 0.30), 2);
    EXPECT_EQ(expectedFrameAt(recipe, 0.7 + 0.05), 0) << "wraps after one pass";
    EXPECT_EQ(expectedFrameAt(recipe, 1.4 + 0.65), 4);
}

struct WriteCase {
    const char* name;
    ClipSpec recipe;
};

ClipSpec make(ClipSpec::Codec codec, const char* container, int w, int h, int frames,
              ClipSpec::PixelFormat pf = ClipSpec::PixelFormat::Yuv420p) {
    ClipSpec s;
    s.codec = codec;
    s.container = container;
    s.width = w;
    s.height = h;
    s.frames = frames;
    s.pixelFormat = pf;
    return s;
}

std::vector<WriteCase> writeCases() {
    using C = ClipSpec::Codec;
    using PF = ClipSpec::PixelFormat;
    std::vector<WriteCase> cases;
    cases.push_back({"H264BFrames", make(C::H264, "mp4", 64, 48, 40)});
    {
        ClipSpec s = make(C::H264, "mkv", 100, 60, 20);
        s.startTimeSeconds = 1.5;
        cases.push_back({"H264StartOffsetMkv", s});
    }
    {
        ClipSpec s = make(C::H264, "mp4", 64, 48, 21);
        s.variableFrameRate = true;
        cases.push_back({"H264Vfr", s});
    }
    {
        // AVI stores no presentation times, so B-frames would shift them; see the movie tests.
        ClipSpec s = make(C::Mpeg4, "avi", 64, 48, 15);
        s.bFrames = false;
        cases.push_back({"Mpeg4Avi", s});
    }
    cases.push_back({"MjpegMov422", make(C::Mjpeg, "mov", 64, 48, 10, PF::Yuv422p)});
    cases.push_back({"Ffv1OddSize", make(C::Ffv1, "mkv", 63, 47, 9)});
    cases.push_back({"Ffv1TenBit", make(C::Ffv1, "mkv", 64, 48, 9, PF::Yuv420p10)});
    cases.push_back({"Ffv1Alpha", make(C::Ffv1, "mkv", 64, 48, 9, PF::Yuva420p)});
    cases.push_back({"PngRgbaMov", make(C::Png, "mov", 40, 30, 9, PF::Rgba)});
    {
        ClipSpec s = make(C::H264, "mp4", 64, 48, 15);
        s.audioStream = true;
        s.dataStream = true;
        cases.push_back({"H264AudioTimecode", s});
    }
    {
        ClipSpec s = make(C::H264, "mp4", 64, 48, 15);
        s.videoStream = false;
        s.audioStream = true;
        cases.push_back({"AudioOnly", s});
    }
    return cases;
}

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class ClipWriteTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ClipWriteTest, ReferenceDecodeMatchesSpec) {
    const ClipSpec& recipe = GetParam().recipe;
    const std::string path =
        tempClipPath(std::string("write-") + GetParam().name + "." + recipe.container);
    std::string error;
    ASSERT_TRUE(writeClip(path, recipe, &error)) << error;

    ReferenceDecode ref;
    ASSERT_TRUE(referenceDecode(path, ref, &error)) << error;

    std::vector<int> expectedTypes;
    if (recipe.videoStream) expectedTypes.push_back(kVideo);
    if (recipe.audioStream) expectedTypes.push_back(kAudio);
    if (recipe.dataStream) expectedTypes.push_back(kData);
    EXPECT_EQ(ref.streamTypes, expectedTypes);

    if (!recipe.videoStream) {
        EXPECT_TRUE(ref.frames.empty());
        return;
    }
    ASSERT_EQ(static_cast<int>(ref.frames.size()), recipe.frames);
    const auto times = framePresentationSeconds(recipe);
    for (int i = 0; i < recipe.frames; ++i) {
        const ReferenceFrame& f = ref.frames[static_cast<size_t>(i)];
        EXPECT_EQ(f.index, i) << "frame " << i;
        EXPECT_EQ(f.width, recipe.width);
        EXPECT_EQ(f.height, recipe.height);
        EXPECT_NEAR(f.seconds, recipe.startTimeSeconds + times[static_cast<size_t>(i)], 0.002)
            << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, ClipWriteTest, ::testing::ValuesIn(writeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ClipWrite, CorruptFramesDoNotDecodeAsThemselves) {
    ClipSpec recipe = make(ClipSpec::Codec::Mjpeg, "avi", 64, 48, 12);
    recipe.corruptFrames = {4, 5};
    const std::string path = tempClipPath("write-corrupt.avi");
    std::string error;
    ASSERT_TRUE(writeClip(path, recipe, &error)) << error;
    ReferenceDecode ref;
    ASSERT_TRUE(referenceDecode(path, ref, &error)) << error;
    int good = 0;
    for (const ReferenceFrame& f : ref.frames) {
        EXPECT_NE(f.index, 4);
        EXPECT_NE(f.index, 5);
        if (f.index >= 0) ++good;
    }
    EXPECT_EQ(good, 10);
}

TEST(ClipWrite, MissingEncoderOrMuxerIsReportedNotCrashed) {
    std::string error;
    ClipSpec recipe;
    recipe.container = "no-such-container";
    EXPECT_FALSE(writeClip(tempClipPath("bad.xyz"), recipe, &error));
    EXPECT_FALSE(error.empty());
    ClipSpec mpeg4Alpha =
        make(ClipSpec::Codec::Mpeg4, "avi", 64, 48, 3, ClipSpec::PixelFormat::Rgba);
    error.clear();
    EXPECT_FALSE(writeClip(tempClipPath("bad.avi"), mpeg4Alpha, &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace loopstage::test
