#include <GL/gl.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QUrl>
#include <chrono>
#include <filesystem>

#include "app/MainWindow.h"
#include "musician/Musician.h"
#include "orchestra/Orchestra.h"
#include "platform/Movie.h"
#include "stage/OpenGLView.h"
#include "support/BadInputs.h"
#include "support/LogCapture.h"
#include "stallfs/StalledShare.h"
#include "clips/Clips.h"

namespace loopstage {
namespace {

using namespace std::chrono_literals;

bool drop(app::MainWindow& window, const std::string& path) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    return window.orchestra()->acceptDrop(&data, -1, orchestra::DropOperation::Above);
}

// Shows the window and plays two clips in it.
void showPlaying(app::MainWindow& window, const std::string& first, const std::string& second) {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_TRUE(drop(window, first));
    ASSERT_TRUE(drop(window, second));
    window.orchestra()->togglePlayback();
}

bool isDocumentedLine(const QString& line) {
    return line.startsWith(QStringLiteral("NewMovieFromProperties failed with ")) ||
           line.startsWith(QStringLiteral("QTVisualContext creation failed with error:")) ||
           line == QStringLiteral("contextInitialisation");
}

// Every bad input dropped through the real drop path while two good clips play: refused with
// the table unchanged, or taken as a musician that plays what can be decoded. The good clips
// keep taking frames, ticks keep coming, and nothing but the documented line is logged.
TEST(BadDrops, EachIsRefusedOrPlaysWhileTheOthersKeepPlaying) {
    const std::string dir = clips::tempClipPath("bad-inputs");
    const std::vector<test::BadInput> inputs = test::makeBadInputs(dir);
    ASSERT_GE(inputs.size(), 200u);
    const std::string good = clips::tempClipPath("good.mp4");
    ASSERT_TRUE(clips::writeClip(good, clips::ClipSpec{}));

    constexpr size_t kBatch = 30;  // a fresh window now and then keeps the decoders few
    int refused = 0, taken = 0;
    for (size_t first = 0; first < inputs.size(); first += kBatch) {
        app::MainWindow window;
        ASSERT_NO_FATAL_FAILURE(showPlaying(window, good, good));
        QTRY_VERIFY_WITH_TIMEOUT(
            window.orchestra()->musicianList()->at(1)->currentTexture() != nullptr, 5000);

        for (size_t i = first; i < std::min(inputs.size(), first + kBatch); ++i) {
            const test::BadInput& input = inputs[i];
            SCOPED_TRACE(input.name);
            test::LogCapture log;
            const int rows = window.musicianView()->model()->rowCount();
            const bool ok = drop(window, input.path);
            EXPECT_EQ(window.musicianView()->model()->rowCount(), rows + (ok ? 1 : 0));
            ok ? ++taken : ++refused;
            QTest::qWait(5);
            EXPECT_LE(log.lines().size(), 1) << log.lines().join(QLatin1Char('\n')).toStdString();
            for (const QString& line : log.lines()) {
                EXPECT_TRUE(isDocumentedLine(line)) << line.toStdString();
            }
        }
        const auto* a = window.orchestra()->musicianList()->at(0);
        const int64_t takenBefore = a->stats().framesTaken.load();
        const int64_t ticksBefore = window.orchestra()->tickStats().ticks();
        QTest::qWait(400);
        EXPECT_GT(a->stats().framesTaken.load(), takenBefore) << "a good clip stopped playing";
        EXPECT_GT(window.orchestra()->tickStats().ticks(), ticksBefore + 5) << "ticks stalled";
        window.orchestra()->togglePlayback();
    }
    EXPECT_GT(refused, 20);
    EXPECT_GT(taken, 0);
    std::printf("bad inputs: %zu, refused %d, taken %d\n", inputs.size(), refused, taken);
}

// A file cut short or removed under a playing clip: the clip keeps going on what is left (or
// holds its last frame), the ticks go on, nothing crashes.
TEST(BadDrops, FileTruncatedOrRemovedWhilePlaying) {
    clips::ClipSpec recipe;
    recipe.frames = 60;
    const std::string cut = clips::tempClipPath("cut while playing.mp4");
    const std::string gone = clips::tempClipPath("gone while playing.mkv");
    clips::ClipSpec mkv = recipe;
    mkv.container = "mkv";
    ASSERT_TRUE(clips::writeClip(cut, recipe));
    ASSERT_TRUE(clips::writeClip(gone, mkv));
    app::MainWindow window;
    ASSERT_NO_FATAL_FAILURE(showPlaying(window, cut, gone));
    QTest::qWait(300);
    std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 3);
    std::filesystem::remove(gone);
    const int64_t ticksBefore = window.orchestra()->tickStats().ticks();
    QTest::qWait(2500);  // past the end of the first pass of both
    EXPECT_GT(window.orchestra()->tickStats().ticks(), ticksBefore + 60);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NE(window.orchestra()->musicianList()->at(i)->currentTexture(), nullptr);
    }
    window.orchestra()->togglePlayback();
}

// While two clips play: a file that stops answering is given up on with a reason, and a
// 16000 x 8000 picture plays, converted no larger than the stage shows it; neither stops the
// others.
TEST(BadDrops, StalledFileAndHugePictureLeaveTheOthersPlaying) {
    const std::string good = clips::tempClipPath("good-beside.mp4");
    ASSERT_TRUE(clips::writeClip(good, clips::ClipSpec{}));
    clips::ClipSpec hugeRecipe;
    hugeRecipe.codec = clips::ClipSpec::Codec::Ffv1;
    hugeRecipe.container = "mkv";
    hugeRecipe.width = 16000;
    hugeRecipe.height = 8000;
    hugeRecipe.frames = 1;
    const std::string huge = clips::tempClipPath("huge.mkv");
    ASSERT_TRUE(clips::writeClip(huge, hugeRecipe));

    app::MainWindow window;
    ASSERT_NO_FATAL_FAILURE(showPlaying(window, good, good));
    const auto* a = window.orchestra()->musicianList()->at(0);
    QTRY_VERIFY_WITH_TIMEOUT(a->currentTexture() != nullptr, 5000);

    clips::StalledShare share;
    if (share.mounted()) {
        const int64_t takenBefore = a->stats().framesTaken.load();
        EXPECT_FALSE(drop(window, share.file()));
        EXPECT_TRUE(window.statusBar()->currentMessage().contains(QStringLiteral("did not answer")))
            << window.statusBar()->currentMessage().toStdString();
        EXPECT_GT(a->stats().framesTaken.load(), takenBefore) << "the clips stopped meanwhile";
    } else {
        std::printf("no FUSE here: the stalled file is not tried\n");
    }

    ASSERT_TRUE(drop(window, huge));
    const auto* big = window.orchestra()->musicianList()->at(2);
    const int64_t takenBefore = a->stats().framesTaken.load();
    QTRY_VERIFY_WITH_TIMEOUT(big->currentTexture() != nullptr, 60000);
    QTest::qWait(200);  // a drawing or two, so the billboard's own size has been asked for
    EXPECT_GT(a->stats().framesTaken.load(), takenBefore + 5) << "the clips stopped meanwhile";

    stage::OpenGLView* view = window.openGLView();
    const int stageSide =
        static_cast<int>(std::max(view->width(), view->height()) * view->devicePixelRatio());
    GLint width = 0, height = 0;
    {
        std::lock_guard lock(*view);
        platform::TextureBufferRef frame = big->currentTexture();
        glBindTexture(GL_TEXTURE_2D, frame->name());
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    }
    EXPECT_GT(width, 0);
    EXPECT_LE(width, stageSide);
    EXPECT_GT(height, 0);
    EXPECT_LE(height, stageSide);
    window.orchestra()->togglePlayback();
}

}  // namespace
}  // namespace loopstage
