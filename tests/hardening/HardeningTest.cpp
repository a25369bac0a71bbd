#include <GL/gl.h>
#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>
#include <filesystem>
#include <random>

#include "app/MainWindow.h"
#include "media/Movie.h"
#include "musician/Musician.h"
#include "orchestra/Orchestra.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"
#include "stallfs/StalledShare.h"
#include "support/BadInputs.h"
#include "support/LogCapture.h"
#include "support/Support.h"

namespace loopstage {
namespace {

bool drop(app::MainWindow& window, const std::string& path, int row = -1) {
    return window.orchestra()->acceptDrop(test::filesDrag({QString::fromStdString(path)}).get(),
                                          row, orchestra::DropOperation::On);
}

// Shows the window playing the clips; the musician of the first once it takes frames.
const musician::Musician* showPlaying(app::MainWindow& window, std::vector<std::string> paths) {
    window.show();
    const auto dropped = [&](const std::string& path) { return drop(window, path); };
    if (!QTest::qWaitForWindowExposed(&window) || !std::ranges::all_of(paths, dropped)) return {};
    window.orchestra()->togglePlayback();
    const musician::Musician* m = window.orchestra()->musicianList()->at(0);
    return QTest::qWaitFor([&] { return m->currentTexture() != nullptr; }) ? m : nullptr;
}

// True when `m` takes frames and the ticks go on while `meanwhile` runs (by default a moment).
bool playsOn(
    app::MainWindow& window, const musician::Musician* m,
    const std::function<void()>& meanwhile = [] { QTest::qWait(400); }) {
    const int64_t taken = m->stats().framesTaken, ticks = window.orchestra()->tickStats().ticks();
    meanwhile();
    return m->stats().framesTaken > taken && window.orchestra()->tickStats().ticks() > ticks + 5;
}

// Every bad input dropped through the real drop path while two good clips play: refused with
// the table unchanged, or taken as a musician that plays what can be decoded. The good clips
// keep taking frames, ticks keep coming, and nothing but the documented lines is logged.
TEST(BadDrops, EachIsRefusedOrPlaysWhileTheOthersKeepPlaying) {
    const auto inputs = test::makeBadInputs(clips::tempClipPath("bad-inputs"));
    const QRegularExpression documented(
        "^(NewMovieFromProperties failed with |QTVisualContext creation failed with error:|"
        "contextInitialisation$)");
    int refused = 0;
    // A fresh window now and then keeps the decoders few.
    for (size_t first = 0; first < inputs.size(); first += 30) {
        app::MainWindow window;
        const auto* good = showPlaying(window, {test::clip("good.mp4"), test::clip("good.mp4")});
        ASSERT_TRUE(good);
        for (size_t i = first; i < std::min(inputs.size(), first + 30); ++i) {
            SCOPED_TRACE(inputs[i].name);
            test::LogCapture log;
            const int rows = window.musicianView()->model()->rowCount();
            const bool taken = drop(window, inputs[i].path);
            EXPECT_EQ(window.musicianView()->model()->rowCount(), rows + taken);
            refused += !taken;
            QTest::qWait(5);
            for (const QString& line : log.lines()) EXPECT_TRUE(documented.match(line).hasMatch());
        }
        EXPECT_TRUE(playsOn(window, good)) << "a good clip or the ticks stopped";
    }
    EXPECT_GT(refused, 20);
    EXPECT_LT(refused, int(inputs.size())) << "none was taken";
}

// While a clip plays: files cut short or removed under two more keep going on what is left (or
// hold their last frame); a file that stops answering is given up on with a reason; a 16000 x
// 8000 picture plays, converted no larger than the stage shows it. None stops the others.
TEST(BadDrops, FilesGoingBadStalledOrHugeLeaveTheOthersPlaying) {
    clips::ClipSpec recipe, hugeRecipe;
    recipe.frames = 60;
    // Written for this test alone: they are cut and removed below.
    const std::string cut = test::clip("cut while playing.mp4", recipe);
    recipe.container = hugeRecipe.container = "mkv";
    const std::string gone = test::clip("gone while playing.mkv", recipe);
    hugeRecipe.codec = clips::ClipSpec::Codec::Ffv1;
    hugeRecipe.width = 16000;
    hugeRecipe.height = 8000;
    hugeRecipe.frames = 1;
    const std::string huge = test::clip("huge.mkv", hugeRecipe);
    app::MainWindow window;
    const auto* good = showPlaying(window, {test::clip("good.mp4"), cut, gone});
    ASSERT_TRUE(good);
    const orchestra::MusicianList& list = *window.orchestra()->musicianList();
    std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 3);
    std::filesystem::remove(gone);
    EXPECT_TRUE(playsOn(window, good, [] { QTest::qWait(2500); }));  // past both files' ends
    if (clips::StalledShare share; share.mounted()) {  // not tried where there is no FUSE
        EXPECT_TRUE(playsOn(window, good, [&] { EXPECT_FALSE(drop(window, share.file())); }));
        EXPECT_TRUE(window.statusBar()->currentMessage().contains("did not answer"));
        // Ten of them chosen in the Add clips dialog with two good clips: the window's loop
        // keeps turning, no more than a few threads are left in the kernel, and the good ones
        // join in the order chosen.
        QStringList chosen(10, QString::fromStdString(share.file()));
        chosen.insert(4, test::qclip("first.mp4"));
        chosen.append(test::qclip("second.mp4"));
        QElapsedTimer sinceBeat;
        qint64 longestGap = 0;
        QTimer beat;
        beat.callOnTimeout([&] { longestGap = std::max(longestGap, sinceBeat.restart()); });
        sinceBeat.start();
        beat.start(20);
        window.addClipFiles(chosen);
        EXPECT_TRUE(QTest::qWaitFor([&] { return list.count() == 5; }, 30000));
        EXPECT_LT(longestGap, 5000) << "the window stood still while the files were probed";
        EXPECT_LE(media::MovieEngine::probesRunning(), 4) << "threads left on the share";
        EXPECT_EQ(list.at(3)->musicianName() + list.at(4)->musicianName(), "first.mp4second.mp4");
    }
    // The share gone, the probes it held return, and drops are taken again.
    EXPECT_TRUE(QTest::qWaitFor([] { return media::MovieEngine::probesRunning() == 0; }, 10000));
    ASSERT_TRUE(drop(window, huge));
    const size_t hugeRow = list.count() - 1;
    EXPECT_TRUE(playsOn(window, good, [&] {
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return list.at(hugeRow)->currentTexture() != nullptr; }, 60000));
        QTest::qWait(200);  // a drawing or two, so the billboard's own size has been asked for
    }));
    EXPECT_TRUE(list.at(1)->currentTexture() && list.at(2)->currentTexture());
    stage::OpenGLView* view = window.openGLView();
    const int stageSide = int(std::max(view->width(), view->height()) * view->devicePixelRatio());
    GLint size[2] = {0, 0};
    std::lock_guard lock(*view);  // the view's context, current until the end
    glBindTexture(GL_TEXTURE_2D, list.at(hugeRow)->currentTexture()->name());
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &size[0]);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &size[1]);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    for (const GLint side : size) EXPECT_TRUE(side > 0 && side <= stageSide) << side;
}

// For a while (LOOPSTAGE_STRESS_SECONDS, 10 s by default): random drops of good and bad files
// below or onto rows, edits of every column, clicks on the camera and playback buttons, resizes
// and window moves, all from the main thread, while the display link ticks. ThreadSanitizer watches
// the sharing; afterwards every clip that can play still plays.
TEST(Stress, RandomUseWhilePlayingLeavesEveryGoodClipPlaying) {
    std::vector<std::string> files(3, test::clip("good.mp4"));
    const auto bad = test::makeBadInputs(clips::tempClipPath("stress-bad"));
    for (size_t i = 0; i < bad.size(); i += 23) files.push_back(bad[i].path);

    app::MainWindow window;
    ASSERT_TRUE(showPlaying(window, {files[0]}));
    QAbstractItemModel* model = window.musicianView()->model();
    std::mt19937 random(7);
    auto pick = [&](int n) { return int(random() % unsigned(n)); };
    // The camera and playback buttons (not the menu bar's own, whose menu would block).
    const auto buttons = window.findChildren<QToolButton*>(QRegularExpression("Button$"));
    const int seconds = qEnvironmentVariableIsSet("LOOPSTAGE_STRESS_SECONDS")
                            ? qEnvironmentVariableIntValue("LOOPSTAGE_STRESS_SECONDS")
                            : 10;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
         std::chrono::steady_clock::now() < end; QTest::qWait(pick(4))) {
        const int rows = model->rowCount();  // up to as many decoders as a 2-core machine bears
        if (pick(8) == 0 && rows < 24)
            drop(window, files[size_t(pick(int(files.size())))], pick(rows + 1));
        const QModelIndex cell = model->index(pick(rows), pick(6));
        model->setData(cell, pick(2) ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
        model->setData(cell, (pick(400) - 200) / 100.0);
        buttons[pick(int(buttons.size()))]->click();
        window.cameraHeightSlider()->setFloatValue((pick(300) - 50) / 100.0f);
        if (pick(8) == 0) window.resize(760 + pick(400), 420 + pick(300));
        if (pick(8) == 0) window.move(pick(200), pick(200));
    }
    if (!window.orchestra()->isPlaying()) window.orchestra()->togglePlayback();

    // Afterwards every musician of the good clip still takes frames (none was left with a
    // stalled worker or a texture pool that never comes back), and the stage outputs frames.
    const orchestra::MusicianList& list = *window.orchestra()->musicianList();
    std::vector<std::pair<const musician::Musician*, int64_t>> good;
    for (size_t i = 0; i < window.orchestra()->musicianCount(); ++i) {
        if (list.at(i)->videoFilename().toStdString() == files[0])
            good.emplace_back(list.at(i), list.at(i)->stats().framesTaken);
    }
    ASSERT_FALSE(good.empty());
    const int64_t frames = window.openGLView()->framesOutput();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return window.openGLView()->framesOutput() > frames + 10 &&
                   std::ranges::all_of(
                       good, [](const auto& g) { return g.first->stats().framesTaken > g.second; });
        },
        5000));
}

}  // namespace
}  // namespace loopstage
