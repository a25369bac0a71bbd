#include <GL/gl.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QTest>
#include <array>
#include <chrono>
#include <cmath>
#include <thread>

#include "musician/Musician.h"
#include "platform/Displays.h"
#include "platform/HostTime.h"
#include "platform/Movie.h"
#include "platform/TextureVisualContext.h"
#include "support/GlTestWindow.h"
#include "support/LogCapture.h"
#include "clips/Clips.h"

namespace loopstage::musician {
namespace {

using namespace std::chrono_literals;
using clips::ClipSpec;

std::string writeOrFail(const std::string& name, const ClipSpec& recipe) {
    const std::string path = clips::tempClipPath(name);
    std::string error;
    EXPECT_TRUE(clips::writeClip(path, recipe, &error)) << name << ": " << error;
    return path;
}

platform::VideoTimeStamp stampAt(int64_t hostTime) {
    return platform::VideoTimeStamp{hostTime, 0, 16'666'667, 1.0};
}

// A real stage window whose frame output draws the musicians given, each between a push and a
// pop as the controller draws them, and reads back what the test asks for.
class MusicianOnStage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!window.open(160, 160)) GTEST_SKIP() << "no OpenGL context on this display";
        window.probe.onDraw = [this] {
            for (Musician* m : drawn) {
                glPushMatrix();
                m->renderMusician();
                glPopMatrix();
            }
            if (afterDraw) afterDraw();
        };
    }
    void TearDown() override { window.probe.onDraw = nullptr; }

    std::unique_ptr<Musician> make(const std::string& path,
                                   const QString& name = QStringLiteral("m")) {
        return Musician::initWithName(name, QString::fromStdString(path), window.view.get());
    }

    // Colour at the centre of the stage after a frame output.
    std::array<GLubyte, 4> centreAfterFrame() {
        std::array<GLubyte, 4> rgba{};
        afterDraw = [&] {
            const int w = static_cast<int>(window.view->width() * window.view->devicePixelRatio());
            const int h = static_cast<int>(window.view->height() * window.view->devicePixelRatio());
            glReadPixels(w / 2, h / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
        };
        window.view->flushOutput();
        afterDraw = nullptr;
        return rgba;
    }

    // One frame output, and the whole viewport read back (RGBA rows, bottom first).
    struct Readback {
        std::vector<GLubyte> pixels;
        int width = 0, height = 0;
        GLdouble modelview[16] = {}, projection[16] = {};
        GLint viewport[4] = {};
    };
    Readback frameReadback() {
        Readback r;
        afterDraw = [&] {
            glGetDoublev(GL_MODELVIEW_MATRIX, r.modelview);
            glGetDoublev(GL_PROJECTION_MATRIX, r.projection);
            glGetIntegerv(GL_VIEWPORT, r.viewport);
            r.width = r.viewport[2];
            r.height = r.viewport[3];
            r.pixels.resize(static_cast<size_t>(r.width * r.height * 4));
            glReadPixels(0, 0, r.width, r.height, GL_RGBA, GL_UNSIGNED_BYTE, r.pixels.data());
        };
        window.view->flushOutput();
        afterDraw = nullptr;
        return r;
    }

    // The musician's first frame, taken at a time just after its clock's start.
    static bool takeFirstFrame(Musician& m) {
        const int64_t origin =
            platform::hostTimeNow() - m.channelMovie()->movieTimeAt(platform::hostTimeNow());
        const auto ts = stampAt(origin + 10'000'000);
        const auto end = std::chrono::steady_clock::now() + 3s;
        while (!m.renderChannel(&ts) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(1ms);
        }
        return m.currentTexture() != nullptr;
    }

    int centreIndexAfterFrame() {
        const auto c = centreAfterFrame();
        return clips::frameIndexOfColour(clips::Rgb{c[0], c[1], c[2]});
    }

    test::GlTestWindow window;
    std::vector<Musician*> drawn;
    std::function<void()> afterDraw;
};

TEST_F(MusicianOnStage, FreshMusicianPlaysVideoOnlyWithEveryOtherTrackDisabled) {
    ClipSpec recipe;
    recipe.audioStream = true;
    recipe.dataStream = true;
    recipe.container = "mov";
    const std::string path = writeOrFail("av_data.mov", recipe);
    test::LogCapture log;
    const int64_t before = platform::hostTimeNow();
    auto musician = make(path, QStringLiteral("av_data.mov"));
    ASSERT_NE(musician, nullptr) << log.lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(log.lines().isEmpty());

    EXPECT_EQ(musician->musicianName(), QStringLiteral("av_data.mov"));
    EXPECT_EQ(musician->videoFilename(), QString::fromStdString(path));
    EXPECT_TRUE(musician->visible());
    for (float e : musician->position()->pVec) EXPECT_EQ(e, 0.0f);
    EXPECT_EQ(musician->width(), 1.0f);
    EXPECT_EQ(musician->height(), 1.0f);
    EXPECT_EQ(musician->currentTexture(), nullptr);

    platform::Movie* movie = musician->channelMovie();
    ASSERT_NE(movie, nullptr);
    EXPECT_EQ(movie->rate(), platform::kFixed1);
    EXPECT_EQ(movie->timeBaseFlags() & platform::kLoopTimeBase, platform::kLoopTimeBase);
    EXPECT_TRUE(movie->isActive());
    // At its start and running at normal speed from creation on.
    const int64_t now = platform::hostTimeNow();
    EXPECT_GE(movie->movieTimeAt(now), 0);
    EXPECT_LE(movie->movieTimeAt(now), now - before);

    ASSERT_EQ(movie->trackCount(), 3);
    int videoTracks = 0;
    for (int track = 1; track <= movie->trackCount(); ++track) {
        const bool isVideo = movie->trackMediaType(track) == platform::kVideoMediaType;
        videoTracks += isVideo ? 1 : 0;
        EXPECT_EQ(movie->trackEnabled(track), isVideo) << "track " << track;
    }
    EXPECT_EQ(videoTracks, 1);
}

TEST_F(MusicianOnStage, MovieWithoutVideoIsCreatedNeverTakesAFrameAndDrawsNothing) {
    ClipSpec recipe;
    recipe.videoStream = false;
    recipe.audioStream = true;
    recipe.container = "mp4";
    const std::string path = writeOrFail("audio_only.mp4", recipe);
    auto musician = make(path);
    ASSERT_NE(musician, nullptr);
    platform::Movie* movie = musician->channelMovie();
    for (int track = 1; track <= movie->trackCount(); ++track)
        EXPECT_FALSE(movie->trackEnabled(track));

    for (int i = 0; i < 20; ++i) {
        const auto ts = stampAt(platform::hostTimeNow() + 2'000'000'000LL);
        EXPECT_FALSE(musician->renderChannel(&ts));
        std::this_thread::sleep_for(5ms);
    }
    drawn = {musician.get()};
    const auto centre = centreAfterFrame();
    EXPECT_EQ(centre[0] + centre[1] + centre[2], 0) << "a musician without frames drew something";
}

TEST_F(MusicianOnStage, UnopenableFilesAndMissingSharedContextLogOneLineAndGiveNull) {
    test::LogCapture log;
    const std::string missing = clips::tempClipPath("does_not_exist.mp4");
    EXPECT_EQ(make(missing), nullptr);
    ASSERT_EQ(log.lines().size(), 1) << log.lines().join(QLatin1Char('\n')).toStdString();
    const QString line = log.lines().first();
    ASSERT_TRUE(line.startsWith(QStringLiteral("NewMovieFromProperties failed with ")))
        << line.toStdString();
    bool numeric = false;
    EXPECT_LT(line.section(QLatin1Char(' '), -1).toInt(&numeric), 0);
    EXPECT_TRUE(numeric);

    log.clear();
    stage::OpenGLView bare;  // its shared context was never set up
    bare.awakeFromNib();
    ClipSpec recipe;
    const std::string path = writeOrFail("plain.mp4", recipe);
    EXPECT_EQ(Musician::initWithName(QStringLiteral("x"), QString::fromStdString(path), &bare),
              nullptr);
    EXPECT_EQ(log.lines(),
              QStringList{QStringLiteral("QTVisualContext creation failed with error:%1")
                              .arg(platform::kVisualContextNoSharedContext)});
}

TEST_F(MusicianOnStage, StringsAreTheMusiciansOwnAndTheFileNameChangeKeepsTheMovie) {
    const std::string path = writeOrFail("names.mp4", ClipSpec{});
    auto musician = make(path, QStringLiteral("first"));
    ASSERT_NE(musician, nullptr);
    QString caller = QStringLiteral("second");
    musician->setMusicianName(caller);
    caller.append(QStringLiteral(" changed"));
    EXPECT_EQ(musician->musicianName(), QStringLiteral("second"));
    musician->setMusicianName(musician->musicianName());
    EXPECT_EQ(musician->musicianName(), QStringLiteral("second"));

    platform::Movie* movie = musician->channelMovie();
    musician->setVideoFilename(QStringLiteral("/elsewhere/other.mov"));
    EXPECT_EQ(musician->videoFilename(), QStringLiteral("/elsewhere/other.mov"));
    EXPECT_EQ(musician->channelMovie(), movie);
    EXPECT_EQ(movie->path(), path);
}

// The first take releases nothing; each later take releases the frame it replaces unless a
// drawing still holds it; a tick with nothing new keeps frame and corners.
TEST_F(MusicianOnStage, TakesExchangeTheCurrentFrameAndReleaseTheOldOne) {
    ClipSpec recipe;
    recipe.fpsNum = 10;
    recipe.frames = 10;
    const std::string path = writeOrFail("takes.mp4", recipe);
    auto musician = make(path);
    ASSERT_NE(musician, nullptr);
    platform::TextureVisualContext* context = musician->visualContext();
    const int64_t origin =
        platform::hostTimeNow() - musician->channelMovie()->movieTimeAt(platform::hostTimeNow());

    auto takeAt = [&](double seconds) {
        const auto ts = stampAt(origin + static_cast<int64_t>(seconds * 1e9));
        const auto end = std::chrono::steady_clock::now() + 3s;
        while (!musician->renderChannel(&ts)) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    };

    ASSERT_TRUE(takeAt(0.05));
    platform::TextureBufferRef first = musician->currentTexture();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(context->texturesInUse(), 1);
    const Musician::Corners corners = musician->corners();
    EXPECT_NE(corners.lowerLeft.t, corners.upperLeft.t) << "corners not filled";

    const auto same = stampAt(origin + 60'000'000);
    EXPECT_FALSE(musician->renderChannel(&same)) << "no new frame at nearly the same time";
    EXPECT_EQ(musician->currentTexture(), first);

    ASSERT_TRUE(takeAt(0.15));
    EXPECT_NE(musician->currentTexture(), first);
    EXPECT_EQ(context->texturesInUse(), 2) << "the held first frame must stay out of the pool";
    first.reset();
    EXPECT_EQ(context->texturesInUse(), 1) << "the replaced frame was not released";

    for (int i = 0; i < 30; ++i) ASSERT_TRUE(takeAt(0.25 + 0.1 * i));
    EXPECT_EQ(context->texturesInUse(), 1);
}

// A clip's textures belong to the stage's share group: when the stage's contexts go, the names
// of clips already gone are deleted in it, not left to whatever context the group has left.
TEST_F(MusicianOnStage, TexturesOfAClosedStageAreDeletedInItsShareGroup) {
    auto musician = make(writeOrFail("owned.mp4", ClipSpec{}));
    ASSERT_NE(musician, nullptr);
    ASSERT_TRUE(takeFirstFrame(*musician));
    GLuint name = 0;
    {
        std::lock_guard lock(*window.view);
        name = musician->currentTexture()->name();
    }
    ASSERT_NE(name, 0u);

    // A context of the same group that outlives the stage's, to look with.
    QOffscreenSurface surface;
    surface.setFormat(platform::defaultPixelFormat());
    surface.create();
    QOpenGLContext witness;
    witness.setFormat(platform::defaultPixelFormat());
    witness.setShareContext(window.view->sharedContext());
    ASSERT_TRUE(witness.create());
    auto isTexture = [&] {
        if (!witness.makeCurrent(&surface)) return true;
        const bool exists = glIsTexture(name) == GL_TRUE;
        witness.doneCurrent();
        return exists;
    };
    ASSERT_TRUE(isTexture());

    musician.reset();
    window.view.reset();
    EXPECT_FALSE(isTexture()) << "the closed stage left its clip's texture behind";
}

struct LoopCase {
    const char* name;
    ClipSpec recipe;
};

ClipSpec loopSpec(ClipSpec::Codec codec, double start = 0, bool vfr = false) {
    ClipSpec recipe;
    recipe.codec = codec;
    recipe.fpsNum = 10;
    recipe.frames = 8;
    recipe.gop = 8;
    recipe.startTimeSeconds = start;
    recipe.variableFrameRate = vfr;
    // Ends on a one-period frame: the muxers store no duration of their own for the last one.
    if (vfr) recipe.frames = 9;
    recipe.container = codec == ClipSpec::Codec::Mjpeg ? "avi" : "mp4";
    return recipe;
}

class MusicianLoops : public MusicianOnStage, public ::testing::WithParamInterface<LoopCase> {};

// Output times are stepped well ahead of the real clock (so nothing is judged late) across
// three wraps; at every step the frame on screen must be the one due, read back by its colour.
TEST_P(MusicianLoops, ShowsTheFrameDueAtEveryOutputTimeAcrossThreeWraps) {
    const ClipSpec& recipe = GetParam().recipe;
    const std::string path =
        writeOrFail(std::string(GetParam().name) + "." + recipe.container, recipe);
    auto musician = make(path);
    ASSERT_NE(musician, nullptr);
    drawn = {musician.get()};
    platform::Movie* movie = musician->channelMovie();
    movie->goToBeginning();
    movie->setRate(platform::kFixed1);
    const int64_t now = platform::hostTimeNow();
    const int64_t origin = now - movie->movieTimeAt(now);

    const double duration = clips::clipDurationSeconds(recipe);
    const double lead = 1.0;
    std::vector<int> expected, shown;
    for (double t = lead; t < lead + 3.2 * duration; t += 0.05) {
        // Steer clear of instants within 5 ms of a frame boundary.
        const int index = clips::expectedFrameAt(recipe, t);
        if (clips::expectedFrameAt(recipe, t - 0.005) != index ||
            clips::expectedFrameAt(recipe, t + 0.005) != index)
            continue;
        const auto ts = stampAt(origin + static_cast<int64_t>(t * 1e9));
        int onScreen = -2;
        const auto end = std::chrono::steady_clock::now() + 3s;
        do {
            musician->renderChannel(&ts);
            onScreen = centreIndexAfterFrame();
        } while (onScreen != index && std::chrono::steady_clock::now() < end);
        expected.push_back(index);
        shown.push_back(onScreen);
        if (onScreen != index) break;  // the rest would only wait out the same fault
    }
    EXPECT_EQ(shown, expected);
    EXPECT_GE(movie->counters().loopWraps, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Clips, MusicianLoops,
    ::testing::Values(LoopCase{"h264_bframes", loopSpec(ClipSpec::Codec::H264)},
                      LoopCase{"mjpeg_intra", loopSpec(ClipSpec::Codec::Mjpeg)},
                      LoopCase{"start_offset", loopSpec(ClipSpec::Codec::H264, 0.7)},
                      LoopCase{"variable_rate", loopSpec(ClipSpec::Codec::H264, 0, true)}),
    [](const auto& info) { return std::string(info.param.name); });

// Where a musician at (x, y, z) lands on screen: its corners projected with the camera's
// matrices, the picture upright (white band at the top) and black outside.
TEST_F(MusicianOnStage, BillboardCoversItsProjectedRectangleUpright) {
    ClipSpec recipe;
    recipe.width = 96;
    recipe.height = 64;
    const std::string path = writeOrFail("billboard.mp4", recipe);
    auto musician = make(path);
    ASSERT_NE(musician, nullptr);
    Musician::storeCoordinate(musician->position()->x, 0.3f);
    Musician::storeCoordinate(musician->position()->y, -0.2f);
    Musician::storeCoordinate(musician->position()->z, -1.0f);
    drawn = {musician.get()};
    ASSERT_TRUE(takeFirstFrame(*musician));

    const Readback r = frameReadback();
    ASSERT_GT(r.width, 0);
    std::array<std::array<double, 2>, 4>
        corner{};  // lower-left, upper-left, upper-right, lower-right
    const double xs[4] = {-0.5, -0.5, 0.5, 0.5}, ys[4] = {0, 1, 1, 0};
    for (int i = 0; i < 4; ++i) {
        GLdouble z = 0;
        gluProject(0.3 + xs[i], -0.2 + ys[i], -1.0, r.modelview, r.projection, r.viewport,
                   &corner[i][0], &corner[i][1], &z);
    }
    const std::vector<GLubyte>& pixels = r.pixels;
    const int w = r.width;
    auto at = [&](double x, double y) {
        const size_t i =
            (static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)) * 4;
        return clips::Rgb{pixels[i], pixels[i + 1], pixels[i + 2]};
    };
    const double left = corner[0][0], right = corner[2][0], bottom = corner[0][1],
                 top = corner[1][1];
    EXPECT_NEAR(corner[1][0], left, 0.01);
    EXPECT_NEAR(corner[3][1], bottom, 0.01);
    ASSERT_GT(right - left, 20);
    ASSERT_GT(top - bottom, 20);
    const double midX = (left + right) / 2;
    const clips::Rgb nearTop = at(midX, top - 2);
    EXPECT_GT(nearTop.r + nearTop.g + nearTop.b, 3 * 230) << "top of the picture is not at the top";
    EXPECT_EQ(clips::frameIndexOfColour(at(midX, (top + bottom) / 2)), 0);
    const clips::Rgb nearBottom = at(midX, bottom + 2);
    EXPECT_EQ(clips::frameIndexOfColour(nearBottom), 0)
        << "bottom shows the band: picture upside down";
    for (auto outside : {std::array<double, 2>{left - 3, (top + bottom) / 2},
                         {right + 3, (top + bottom) / 2},
                         {midX, top + 3},
                         {midX, bottom - 3}}) {
        const clips::Rgb c = at(outside[0], outside[1]);
        EXPECT_EQ(c.r + c.g + c.b, 0)
            << "drawn outside its rectangle at " << outside[0] << "," << outside[1];
    }
}

// No depth test: the musician later in the list covers the earlier one even when farther away.
TEST_F(MusicianOnStage, LaterMusicianCoversEarlierOneWhateverTheDistance) {
    ClipSpec recipe;
    const std::string path = writeOrFail("cover.mp4", recipe);
    auto nearOne = make(path), farOne = make(path);
    ASSERT_TRUE(nearOne && farOne);
    // The far one's white band must show over the near one's body where they overlap.
    Musician::storeCoordinate(farOne->position()->z, -0.5f);
    Musician::storeCoordinate(farOne->position()->y, -0.42f);
    const int64_t origin =
        platform::hostTimeNow() - nearOne->channelMovie()->movieTimeAt(platform::hostTimeNow());
    for (Musician* m : {nearOne.get(), farOne.get()}) {
        const auto ts = stampAt(origin + 2'000'000'000);
        const auto end = std::chrono::steady_clock::now() + 3s;
        while (!m->renderChannel(&ts) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(1ms);
        ASSERT_NE(m->currentTexture(), nullptr);
    }
    drawn = {nearOne.get(), farOne.get()};
    const auto over = centreAfterFrame();
    drawn = {farOne.get(), nearOne.get()};
    const auto under = centreAfterFrame();
    EXPECT_GT(over[0] + over[1] + over[2], 3 * 230) << "the later (far) musician did not cover";
    EXPECT_LT(under[0] + under[1] + under[2], 3 * 230) << "the later (near) musician did not cover";
}

class MusicianRotation : public MusicianOnStage, public ::testing::WithParamInterface<int> {};

// A phone clip stores its pictures turned and says by how much; on stage the picture must be
// turned back. The generated pictures carry a white band along their stored top, so after a
// clockwise quarter turn the band must stand at the right, after a half turn at the bottom.
TEST_P(MusicianRotation, PictureIsTurnedAsTheClipSays) {
    const int rotation = GetParam();
    ClipSpec recipe;
    recipe.width = 96;
    recipe.height = 64;
    recipe.rotationDegrees = rotation;
    const std::string path = writeOrFail("rotated" + std::to_string(rotation) + ".mp4", recipe);
    auto musician = make(path);
    ASSERT_NE(musician, nullptr);
    EXPECT_EQ(musician->channelMovie()->rotationDegrees(), rotation);
    // Closer to the camera: the billboard covers about 77 x 77 pixels around the centre.
    Musician::storeCoordinate(musician->position()->z, 2.5f);
    drawn = {musician.get()};
    ASSERT_TRUE(takeFirstFrame(*musician));
    const Readback r = frameReadback();
    ASSERT_GT(r.width, 0);
    const std::vector<GLubyte>& pixels = r.pixels;
    const int w = r.width, h = r.height;
    auto whiteAt = [&](int dx, int dy) {  // offsets from the centre, y up
        const size_t i = (static_cast<size_t>(h / 2 + dy) * static_cast<size_t>(w) +
                          static_cast<size_t>(w / 2 + dx)) *
                         4;
        return pixels[i] > 230 && pixels[i + 1] > 230 && pixels[i + 2] > 230;
    };
    // 0.44 units from the middle at 2.5 units from the camera: inside the band, whichever side.
    const int edge =
        static_cast<int>(0.44 * h / (2 * 2.5 * std::tan(22.5 * 3.141592653589793 / 180)));
    const bool top = whiteAt(0, edge), bottom = whiteAt(0, -edge);
    const bool left = whiteAt(-edge, 0), right = whiteAt(edge, 0);
    EXPECT_EQ(top, rotation == 0) << "edge " << edge;
    EXPECT_EQ(right, rotation == 90);
    EXPECT_EQ(bottom, rotation == 180);
    EXPECT_EQ(left, rotation == 270);
    EXPECT_FALSE(whiteAt(0, 0)) << "the middle shows the frame's colour";
}

INSTANTIATE_TEST_SUITE_P(QuarterTurns, MusicianRotation, ::testing::Values(0, 90, 180, 270));

}  // namespace
}  // namespace loopstage::musician
