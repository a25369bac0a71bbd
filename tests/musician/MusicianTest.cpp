#include <GL/gl.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>

#include "media/Movie.h"
#include "musician/Musician.h"
#include "platform/Displays.h"
#include "platform/HostTime.h"
#include "support/GlTestWindow.h"
#include "support/LogCapture.h"
#include "support/Support.h"
#include "textures/TextureVisualContext.h"

namespace loopstage::musician {
namespace {

using clips::ClipSpec;
static_assert(sizeof(clips::Rgb) == 3, "read back as packed RGB");

// A real stage window, twice as wide as high, whose frame output draws the musicians given as
// the controller draws them and reads back the viewport and the camera's matrices.
class MusicianOnStage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!window.open(256, 128)) GTEST_SKIP() << "no OpenGL context on this display";
        window.probe.onDraw = [this] {
            for (Musician* m : drawn) {
                glPushMatrix();
                m->renderMusician();
                glPopMatrix();
            }
            glGetDoublev(GL_MODELVIEW_MATRIX, modelview);
            glGetDoublev(GL_PROJECTION_MATRIX, projection);
            glGetIntegerv(GL_VIEWPORT, viewport);
            pixels.resize(static_cast<size_t>(viewport[2] * viewport[3]));  // rows of 4n bytes
            glReadPixels(0, 0, viewport[2], viewport[3], GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
        };
    }

    std::unique_ptr<Musician> make(const std::string& clip, const ClipSpec& recipe = {}) {
        return Musician::initWithName("m", test::qclip(clip, recipe), window.view.get());
    }
    // The pixel at (x, y) of the last frame output, from the lower left.
    clips::Rgb at(int x, int y) const { return pixels[size_t(y * viewport[2] + x)]; }
    int brightnessAt(int x, int y) const { return at(x, y).r + at(x, y).g + at(x, y).b; }
    int centreIndexAfterFrame() {
        window.view->flushOutput();
        return clips::frameIndexOfColour(at(viewport[2] / 2, viewport[3] / 2));
    }
    // The output time `seconds` into the musician's movie clock.
    static platform::VideoTimeStamp stampAt(Musician& m, double seconds) {
        const int64_t now = platform::hostTimeNow(), nanoseconds = std::llround(seconds * 1e9);
        return {now - m.channelMovie()->movieTimeAt(now) + nanoseconds, 0, 16'666'667, 1.0};
    }
    static bool takeAt(Musician& m, double seconds, int waitMs = 3000) {
        const auto ts = stampAt(m, seconds);
        return QTest::qWaitFor([&] { return m.renderChannel(&ts); }, waitMs);
    }

    std::vector<Musician*> drawn;
    GLdouble modelview[16] = {}, projection[16] = {};
    GLint viewport[4] = {};
    std::vector<clips::Rgb> pixels;
    test::GlTestWindow window;  // last: it goes first, with the drawing that uses the rest
};

// Nothing to show: a file that cannot be opened, or a stage without its shared context, gives
// no musician and one log line; a file without video opens with every other track disabled,
// takes no frame and draws nothing.
TEST_F(MusicianOnStage, FilesWithoutPicturesGiveNullOrDrawNothing) {
    const QString plain = test::qclip("plain.mp4");
    auto musician = make("sound_only.mp4", {.audioStream = true, .videoStream = false});
    test::LogCapture log;
    const QString missing = QString::fromStdString(clips::tempClipPath("missing.mp4"));
    EXPECT_EQ(Musician::initWithName("x", missing, window.view.get()), nullptr);
    ASSERT_EQ(log.lines().size(), 1) << log.lines().join('\n').toStdString();
    EXPECT_TRUE(log.lines().first().contains(
        QRegularExpression("^NewMovieFromProperties failed with -\\d+$")))
        << log.lines().first().toStdString();
    log.clear();
    stage::OpenGLView bare;  // its shared context was never set up
    EXPECT_EQ(Musician::initWithName("x", plain, &bare), nullptr);
    EXPECT_EQ(log.lines(),
              QStringList{QStringLiteral("QTVisualContext creation failed with error:%1")
                              .arg(textures::kVisualContextNoSharedContext)});

    ASSERT_NE(musician, nullptr);
    EXPECT_FALSE(musician->channelMovie()->trackEnabled(1)) << "the sound track is decoded";
    EXPECT_FALSE(takeAt(*musician, 2.0, 200));
    drawn = {musician.get()};
    window.view->flushOutput();
    for (int y = 0; y < viewport[3]; ++y)
        for (int x = 0; x < viewport[2]; ++x) ASSERT_EQ(brightnessAt(x, y), 0) << x << "," << y;
}

// Each take replaces the musician's frame and releases the one before unless something still
// holds it. With every texture of the clip held, a due frame has nowhere to go: the tick takes
// nothing and the picture on screen stays; frames come again once the textures are let go.
// The textures belong to the stage's share group: when the stage's contexts go, the names of
// clips already gone are deleted in it, not left to whatever context the group has left.
TEST_F(MusicianOnStage, TexturesGoBackWhenReleasedAndAreDeletedWithTheStage) {
    auto musician = make("ten_fps.mp4", {.fpsNum = 10});  // 30 frames: 3 s a pass
    ASSERT_NE(musician, nullptr);
    drawn = {musician.get()};
    const textures::TextureVisualContext& textures = *musician->visualContext();
    std::vector<textures::TextureBufferRef> held;
    while (held.size() < textures::TextureVisualContext::kTexturesPerContext) {
        ASSERT_TRUE(takeAt(*musician, 0.55 + 0.1 * static_cast<double>(held.size())));
        held.push_back(musician->currentTexture());
        EXPECT_EQ(textures.texturesInUse(), static_cast<int>(held.size()));
    }
    const int onScreen = centreIndexAfterFrame();
    ASSERT_GE(onScreen, 0);
    const auto due = stampAt(*musician, 2.05);
    media::DecodedFrame waiting;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return musician->channelMovie()->peekNewestFrameAt(due.hostTime, waiting); }, 3000));
    EXPECT_FALSE(musician->renderChannel(&due)) << "a frame taken without a texture";
    EXPECT_EQ(musician->currentTexture(), held.back());
    EXPECT_EQ(centreIndexAfterFrame(), onScreen);

    held.clear();
    EXPECT_EQ(textures.texturesInUse(), 1) << "the frames replaced were not released";
    ASSERT_TRUE(takeAt(*musician, 2.25));
    EXPECT_NE(centreIndexAfterFrame(), onScreen);

    GLuint name = 0;
    {
        std::lock_guard lock(*window.view);  // the drawing context, to upload the picture in
        name = musician->currentTexture()->name();
    }
    // A context of the same group that outlives the stage's, to look with.
    QOffscreenSurface surface;
    surface.setFormat(platform::defaultPixelFormat());
    surface.create();
    QOpenGLContext witness;
    witness.setFormat(platform::defaultPixelFormat());
    witness.setShareContext(window.view->sharedContext());
    ASSERT_TRUE(witness.create());
    auto isTexture = [&] {
        const bool exists = !witness.makeCurrent(&surface) || glIsTexture(name) == GL_TRUE;
        witness.doneCurrent();
        return exists;
    };
    ASSERT_TRUE(isTexture());
    musician.reset();
    window.view.reset();
    EXPECT_FALSE(isTexture()) << "the closed stage left its clip's texture behind";
}

// Output times are stepped well ahead of the real clock (so nothing is judged late) across
// three wraps of a clip with B-frames, a start offset and a variable frame rate; at every step
// the frame on screen must be the one due, read back by its colour. There is no depth test: the
// clip stands behind a musician drawn before it, and covers it.
TEST_F(MusicianOnStage, ShowsTheFrameDueAtEveryOutputTimeAcrossThreeWraps) {
    // Ends on a one-period frame: the muxers store no duration of their own for the last one.
    const ClipSpec recipe{
        .fpsNum = 10, .frames = 9, .gop = 8, .startTimeSeconds = 0.7, .variableFrameRate = true};
    auto musician = make("loop.mp4", recipe), nearer = make("plain.mp4");
    ASSERT_TRUE(musician && nearer && takeAt(*nearer, 0.5));
    Musician::storeCoordinate(musician->position()->z, -0.5f);
    drawn = {nearer.get(), musician.get()};
    const double end = 1.0 + 3.2 * clips::clipDurationSeconds(recipe);
    // Frames change on multiples of 0.1 s: these instants stay clear of every change.
    for (double t = 1.05; t < end; t += 0.1) {
        const int due = clips::expectedFrameAt(recipe, t);
        const auto ts = stampAt(*musician, t);
        int shown = -2;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return musician->renderChannel(&ts), (shown = centreIndexAfterFrame()) == due; },
            3000))
            << "at " << t << " s frame " << shown << " instead of " << due;
    }
    EXPECT_GE(musician->channelMovie()->counters().loopWraps, 3);
}

// Four phone clips stored turned by 0, 90, 180 and 270 degrees stand side by side. Each must
// cover exactly its projected rectangle, black around it, and stand upright: the pictures carry
// a white band along their stored top, so after a clockwise quarter turn the band is at the
// right, after a half turn at the bottom.
TEST_F(MusicianOnStage, BillboardsCoverTheirProjectedRectanglesTurnedAsTheClipSays) {
    std::vector<std::unique_ptr<Musician>> row;
    for (int turn = 0; turn < 4; ++turn) {
        row.push_back(make("turned" + std::to_string(turn) + ".mp4",
                           {.width = 96, .height = 64, .rotationDegrees = 90 * turn}));
        ASSERT_NE(row.back(), nullptr);
        graphics::Vector4& position = *row.back()->position();
        Musician::storeCoordinate(position.x, -1.8f + 1.2f * static_cast<float>(turn));
        Musician::storeCoordinate(position.y, -0.2f);
        Musician::storeCoordinate(position.z, 2.0f);
        ASSERT_TRUE(takeAt(*row.back(), 0.01));
        drawn.push_back(row.back().get());
    }
    window.view->flushOutput();
    const int towards[4][2] = {{0, 1}, {1, 0}, {0, -1}, {-1, 0}};  // top, right, bottom, left
    for (int turn = 0; turn < 4; ++turn) {
        SCOPED_TRACE(90 * turn);
        double low[3], high[3];  // lower-left and upper-right corners on screen
        const double x = -1.8 + 1.2 * turn;
        gluProject(x - 0.5, -0.2, 2, modelview, projection, viewport, &low[0], &low[1], &low[2]);
        gluProject(x + 0.5, 0.8, 2, modelview, projection, viewport, &high[0], &high[1], &high[2]);
        const double w = high[0] - low[0], h = high[1] - low[1];
        const double cx = (low[0] + high[0]) / 2, cy = (low[1] + high[1]) / 2;
        EXPECT_EQ(clips::frameIndexOfColour(at(cx, cy)), 0);
        for (int side = 0; side < 4; ++side) {
            const double dx = towards[side][0], dy = towards[side][1];
            EXPECT_EQ(brightnessAt(cx + 0.44 * w * dx, cy + 0.44 * h * dy) > 3 * 230, side == turn)
                << "band on side " << side;
            EXPECT_EQ(brightnessAt(cx + (w / 2 + 3) * dx, cy + (h / 2 + 3) * dy), 0)
                << "drawn beyond side " << side;
        }
    }
}

// The picture a movie converts is no larger than its billboard on screen: per axis, in steps of
// 32 pixels, at most the viewport; the size grows at once but shrinks only when the need falls
// below half. A clip turned a quarter shows its stored width across the screen's height, so
// its limits are swapped. Seen in the sizes of the frames each movie delivers.
TEST_F(MusicianOnStage, PictureSizeLimitFollowsTheBillboardOnScreen) {
    auto upright = make("large.mp4", {.width = 320, .height = 240});
    auto turned = make("large_turned.mp4", {.width = 320, .height = 240, .rotationDegrees = 90});
    ASSERT_TRUE(upright && turned && takeAt(*upright, 0.01) && takeAt(*turned, 0.01));
    drawn = {upright.get(), turned.get()};
    using Size = std::pair<int, int>;
    const struct {
        float z;  // 5 - z from the camera: 6 units cover 26 pixels, 2 units 77, 0.4 units 386
        Size upright, turned;
    } steps[] = {{-1.0f, {32, 32}, {32, 32}},
                 {4.6f, {256, 128}, {128, 240}},
                 {3.0f, {96, 128}, {128, 96}},
                 {-1.0f, {32, 32}, {32, 32}}};
    auto expectDelivered = [&](Size wantUpright, Size wantTurned) {
        window.view->flushOutput();      // the drawing measures the billboards
        std::vector<Size> delivered(2);  // upright, turned: the next frame each movie has ready
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                for (size_t k = 0; k < 2; ++k) {
                    const auto ts = stampAt(*drawn[k], 100.0);
                    media::DecodedFrame next;
                    if (drawn[k]->channelMovie()->peekNewestFrameAt(ts.hostTime, next))
                        delivered[k] = {next.width, next.height};
                    drawn[k]->renderChannel(&ts);
                }
                return delivered == std::vector<Size>{wantUpright, wantTurned};
            },
            3000))
            << testing::PrintToString(delivered);
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.z);
        for (Musician* m : drawn) Musician::storeCoordinate(m->position()->z, step.z);
        expectDelivered(step.upright, step.turned);
    }
    // A clip dropped onto the row is asked for the size on screen too, not left at the stage's.
    ASSERT_TRUE(upright->replaceMovie(test::qclip("large_again.mp4", {.width = 320, .height = 240}),
                                      window.view.get()));
    expectDelivered({32, 32}, {32, 32});
}

// Three clips whose new pictures overrun the upload budget two at a time take turns: on ticks
// where every clip has a picture waiting, none waits more than two ticks, and a tick takes more
// than the budget only in a single picture.
TEST_F(MusicianOnStage, CrowdedTicksTakeTurnsWithinTheUploadBudget) {
    const ClipSpec recipe{.width = 2560, .height = 1440, .fpsNum = 5, .frames = 6};
    const int64_t pictureBytes = int64_t{recipe.width} * recipe.height * 4;
    ASSERT_GT(2 * pictureBytes, textures::TextureVisualContext::kUploadBudgetBytes);
    std::unique_ptr<textures::TextureVisualContext> contexts[3];
    std::unique_ptr<media::Movie> movies[3];
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(textures::TextureVisualContext::create(
                      window.view->sharedContext(), platform::defaultPixelFormat(), &contexts[k]),
                  0);
        media::MovieOpenProperties open(test::clip("wide.mp4", recipe), true, contexts[k].get());
        ASSERT_EQ(media::Movie::open(open, movies[k]), 0);
        movies[k]->setRate(media::kFixed1);
        movies[k]->setTimeBaseFlags(media::kLoopTimeBase);
    }
    int waited[3] = {};
    for (int tick = 0; tick < 9; ++tick) {
        platform::VideoTimeStamp ts{0, 0, 16'666'667, 1.0};
        ASSERT_TRUE(QTest::qWaitFor([&] {
            ts.hostTime = platform::hostTimeNow();  // a tick at the real clock, once all have one
            return std::ranges::all_of(movies,
                                       [&](auto& m) { return m->newestSerialAt(ts.hostTime); });
        }));
        int64_t bytes = 0;
        for (int k = 0; k < 3; ++k) {
            textures::TextureBufferRef frame;
            if (contexts[k]->isNewImageAvailable(&ts) &&
                contexts[k]->copyImageForTime(&ts, &frame) == textures::kVisualContextSuccess)
                bytes += pictureBytes, waited[k] = 0;
            else
                EXPECT_LE(++waited[k], 2) << "clip " << k << " at tick " << tick;
        }
        EXPECT_TRUE(bytes == pictureBytes ||
                    bytes <= textures::TextureVisualContext::kUploadBudgetBytes)
            << bytes << " bytes at tick " << tick;
    }
}

// A camera's flat colour in each matrix and range shows on the stage within 3 levels of
// FFmpeg's own conversion of the file, first and after each of five changes of the billboard's
// distance, with the picture converted at each new size.
struct ColourCase {
    std::string name;
    ClipSpec recipe;
};
void PrintTo(const ColourCase& c, std::ostream* os) { *os << c.name; }
class ColoursOnStage : public MusicianOnStage, public testing::WithParamInterface<ColourCase> {};

TEST_P(ColoursOnStage, MatchFFmpegsOwnConversionAtEverySize) {
    ClipSpec recipe = GetParam().recipe;
    recipe.fpsNum = 10, recipe.frames = 4, recipe.flatColour = clips::Rgb{200, 60, 30};
    const std::optional<clips::Rgba> want =
        clips::firstPictureCentre(test::clip(GetParam().name + ".mp4", recipe));
    auto musician = make(GetParam().name + ".mp4", recipe);
    ASSERT_TRUE(want && musician && takeAt(*musician, 0.01));
    drawn = {musician.get()};
    const auto ts = stampAt(*musician, 100.0);
    std::pair<int, int> size, previous;
    for (const float z : {4.6f, 3.0f, 4.6f, 2.0f, 4.6f, 3.0f}) {
        Musician::storeCoordinate(musician->position()->z, z);
        window.view->flushOutput();  // the drawing measures the billboard
        previous = std::exchange(size, {std::min(recipe.width, musician->wantedPictureWidth()),
                                        std::min(recipe.height, musician->wantedPictureHeight())});
        EXPECT_NE(size, previous);
        ASSERT_TRUE(QTest::qWaitFor([&] {
            media::DecodedFrame next;
            const bool sized = musician->channelMovie()->peekNewestFrameAt(ts.hostTime, next) &&
                               std::pair(next.width, next.height) == size;
            return musician->renderChannel(&ts) && sized;
        })) << z;
        window.view->flushOutput();
        double x, y, depth;
        gluProject(0, 0.4, z, modelview, projection, viewport, &x, &y, &depth);
        const clips::Rgb seen = at(static_cast<int>(x), static_cast<int>(y));
        EXPECT_NEAR(seen.r, want->r, 3) << z;
        EXPECT_NEAR(seen.g, want->g, 3) << z;
        EXPECT_NEAR(seen.b, want->b, 3) << z;
    }
}

using PF = ClipSpec::PixelFormat;
INSTANTIATE_TEST_SUITE_P(
    MatricesAndRanges, ColoursOnStage,
    testing::Values(
        ColourCase{"bt601", {.width = 320, .height = 240, .colorspace = 5}},
        ColourCase{"bt709", {.width = 1280, .height = 720, .colorspace = 1}},
        ColourCase{"bt709_full",
                   {.width = 1280, .height = 720, .colorspace = 1, .fullRange = true}},
        ColourCase{"bt2020_10bit",
                   {.width = 320, .height = 240, .pixelFormat = PF::Yuv420p10, .colorspace = 9}},
        ColourCase{"untagged_sd", {.width = 320, .height = 240, .colorspace = 2}},
        ColourCase{"untagged_hd", {.width = 1280, .height = 720, .colorspace = 2}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace loopstage::musician
