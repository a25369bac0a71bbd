#include <GL/gl.h>
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QFile>
#include <QMimeData>
#include <QStyledItemDelegate>
#include <QUrl>
#include <chrono>
#include <cmath>
#include <thread>

#include "musician/Musician.h"
#include "orchestra/Wiring.h"
#include "platform/HostTime.h"
#include "platform/Movie.h"
#include "platform/TextureVisualContext.h"
#include "support/LogCapture.h"
#include "clips/Clips.h"

namespace loopstage::orchestra {
namespace {

using namespace std::chrono_literals;
using clips::ClipSpec;

QString clip(const std::string& name, ClipSpec recipe = {}) {
    const std::string path = clips::tempClipPath(name);
    std::string error;
    EXPECT_TRUE(clips::writeClip(path, recipe, &error)) << error;
    return QString::fromStdString(path);
}

std::unique_ptr<QMimeData> filesDrag(const QStringList& paths) {
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
    data->setUrls(urls);
    return data;
}

int columnOf(const QString& identifier) {
    return static_cast<int>(MusicianTableModel::columnIdentifiers().indexOf(identifier));
}

class TableAndDrops : public ::testing::Test {
protected:
    void SetUp() override {
        if (!w.orchestra->musicianList()) GTEST_SKIP() << "no display link here";
    }
    QVariant cell(int row, const QString& identifier, int role = Qt::DisplayRole) {
        return w.model.data(w.model.index(row, columnOf(identifier)), role);
    }
    musician::Musician* musicianAt(int row) {
        return w.orchestra->musicianList()->at(static_cast<std::size_t>(row));
    }
    Wiring w;
    // Fatal mode: any inconsistency in the adapter aborts the test run.
    QAbstractItemModelTester tester{&w.model, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(TableAndDrops, ThreeFilesDroppedBelowTheLastRowAddOneMusicianForTheFirst) {
    const QString a = clip("first clip.mp4"), b = clip("second.mp4"), c = clip("third.mp4");
    auto drag = filesDrag({a, b, c});
    EXPECT_TRUE(w.model.canDropMimeData(drag.get(), Qt::CopyAction, -1, -1, {}));
    ASSERT_TRUE(w.model.dropMimeData(drag.get(), Qt::CopyAction, -1, -1, {}));
    ASSERT_EQ(w.model.rowCount(), 1);
    EXPECT_EQ(cell(0, ID_COL_NAME).toString(), QStringLiteral("first clip.mp4"));
    EXPECT_EQ(cell(0, ID_COL_VISIBLE, Qt::CheckStateRole).toInt(), Qt::Checked);
    EXPECT_FALSE(cell(0, ID_COL_VISIBLE).isValid()) << "the visible cell is a check box only";
    EXPECT_EQ(cell(0, ID_COL_VIDEO).toString(), a);
    for (const QString& axis : {ID_COL_X, ID_COL_Y, ID_COL_Z}) EXPECT_EQ(cell(0, axis).toFloat(), 0.0f);

    // A negative row counts as past the end; two drops of one file give two equal names.
    auto again = filesDrag({a});
    ASSERT_TRUE(w.orchestra->acceptDrop(again.get(), -7, DropOperation::Above));
    ASSERT_EQ(w.model.rowCount(), 2);
    EXPECT_EQ(cell(1, ID_COL_NAME), cell(0, ID_COL_NAME));
    EXPECT_NE(musicianAt(0), musicianAt(1));
}

TEST_F(TableAndDrops, NonMoviesHoverAsCopyButAreRefusedAndTextDragsAreNotOffered) {
    const std::string textPath = clips::tempClipPath("notes.mp4");
    {
        QFile text(QString::fromStdString(textPath));
        ASSERT_TRUE(text.open(QIODevice::WriteOnly));
        text.write("these are not the frames you are looking for\n");
    }
    test::LogCapture log;
    auto notAMovie = filesDrag({QString::fromStdString(textPath), clip("fine.mp4")});
    EXPECT_EQ(w.orchestra->validateDrop(notAMovie.get(), 0, DropOperation::On), DragOperation::Copy);
    EXPECT_FALSE(w.orchestra->acceptDrop(notAMovie.get(), 0, DropOperation::Above));
    EXPECT_EQ(w.model.rowCount(), 0);
    EXPECT_TRUE(log.lines().isEmpty()) << "a refused file is refused silently";

    QMimeData text;
    text.setText(QStringLiteral("/tmp/some.mp4"));
    EXPECT_EQ(w.orchestra->validateDrop(&text, 0, DropOperation::Above), DragOperation::None);
    EXPECT_FALSE(w.model.canDropMimeData(&text, Qt::CopyAction, -1, -1, {}));
    EXPECT_FALSE(w.orchestra->acceptDrop(&text, -1, DropOperation::Above));

    QMimeData remote;
    remote.setUrls({QUrl(QStringLiteral("https://example.invalid/clip.mp4"))});
    EXPECT_FALSE(w.orchestra->acceptDrop(&remote, -1, DropOperation::Above));
    EXPECT_EQ(w.model.rowCount(), 0);
}

TEST_F(TableAndDrops, EditsChangeOnlyTheirFieldAndTheVideoColumnIsReadOnly) {
    auto drag = filesDrag({clip("edits.mp4")});
    ASSERT_TRUE(w.orchestra->acceptDrop(drag.get(), 0, DropOperation::Above));
    musician::Musician* m = musicianAt(0);

    EXPECT_TRUE(w.model.setData(w.model.index(0, columnOf(ID_COL_Y)), 2.5, Qt::EditRole));
    EXPECT_EQ(m->position()->y, 2.5f);
    EXPECT_EQ(m->position()->x, 0.0f);
    EXPECT_EQ(m->position()->z, 0.0f);
    EXPECT_TRUE(
        w.model.setData(w.model.index(0, columnOf(ID_COL_X)), QStringLiteral("0.1"), Qt::EditRole));
    EXPECT_EQ(m->position()->x, 0.1f);
    // A screen reader hears the cell as the table shows it, not 0.10000000149011612.
    const QModelIndex x = w.model.index(0, columnOf(ID_COL_X));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&w.table)
                  ->tableInterface()
                  ->cellAt(0, x.column())
                  ->text(QAccessible::Name),
              static_cast<QStyledItemDelegate*>(w.table.itemDelegate())
                  ->displayText(x.data(), w.table.locale()));
    for (const QVariant& odd : {QVariant(QStringLiteral("abc")), QVariant(QStringLiteral("inf")),
                                QVariant(QStringLiteral("nan")), QVariant(-HUGE_VAL)}) {
        EXPECT_FALSE(w.model.setData(w.model.index(0, columnOf(ID_COL_Z)), odd, Qt::EditRole));
    }
    EXPECT_EQ(m->position()->z, 0.0f) << "a non-number must not move the billboard";

    const QString path = m->videoFilename();
    EXPECT_FALSE(w.model.flags(w.model.index(0, columnOf(ID_COL_VIDEO))) & Qt::ItemIsEditable);
    EXPECT_FALSE(w.model.setData(w.model.index(0, columnOf(ID_COL_VIDEO)), QStringLiteral("/x.mp4"), Qt::EditRole));
    w.orchestra->setObjectValue(QStringLiteral("/x.mp4"), ID_COL_VIDEO, 0);
    w.orchestra->setObjectValue(QStringLiteral("9"), QStringLiteral("colUnknown"), 0);
    EXPECT_EQ(m->videoFilename(), path);
    EXPECT_FALSE(w.orchestra->objectValueForTableColumn(QStringLiteral("colUnknown"), 0).isValid());

    EXPECT_TRUE(w.model.setData(w.model.index(0, columnOf(ID_COL_VISIBLE)), Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_FALSE(m->visible());
    EXPECT_TRUE(w.model.setData(w.model.index(0, columnOf(ID_COL_NAME)), QStringLiteral("lead"), Qt::EditRole));
    EXPECT_EQ(m->musicianName(), QStringLiteral("lead"));
    EXPECT_EQ(w.model.rowCount(), 1);
}

// The row's clip itself changes: after the drop the stage shows the new clip from its start,
// not the old clip's later frames; a replacement that cannot open keeps the old clip.
TEST_F(TableAndDrops, DropOntoARowReplacesTheClipAndAFailedReplacementKeepsIt) {
    if (!w.show()) GTEST_SKIP() << "no OpenGL window";
    ClipSpec recipe;
    recipe.frames = 60;
    const QString oldClip = clip("old.mp4", recipe), newClip = clip("new.mp4", recipe);
    auto first = filesDrag({oldClip});
    ASSERT_TRUE(w.orchestra->acceptDrop(first.get(), -1, DropOperation::Above));
    musician::Musician* m = musicianAt(0);

    // Ticks as the display link would for a moment (a decoder left idle needs a few to catch
    // up), then one frame output and the index of the frame at the stage's centre.
    auto tickAndRead = [&] {
        const auto end = std::chrono::steady_clock::now() + 150ms;
        while (std::chrono::steady_clock::now() < end) {
            const platform::VideoTimeStamp ts{platform::hostTimeNow() + 16'000'000, 0, 16'666'667, 1.0};
            m->renderChannel(&ts);
            std::this_thread::sleep_for(8ms);
        }
        w.view.flushOutput();
        const QImage shot = w.view.screen()->grabWindow(w.view.winId()).toImage();
        const QColor c = shot.pixelColor(shot.width() / 2, shot.height() / 2);
        return clips::frameIndexOfColour(clips::Rgb{static_cast<uint8_t>(c.red()),
                                                  static_cast<uint8_t>(c.green()),
                                                  static_cast<uint8_t>(c.blue())});
    };
    std::this_thread::sleep_for(700ms);
    EXPECT_GE(tickAndRead(), 15) << "the old clip should be well into its frames by now";

    test::LogCapture log;
    auto second = filesDrag({newClip});
    ASSERT_TRUE(w.model.dropMimeData(second.get(), Qt::CopyAction, -1, -1, w.model.index(0, 0)));
    EXPECT_EQ(w.model.rowCount(), 1);
    EXPECT_EQ(musicianAt(0), m) << "the musician stays; only its clip changes";
    EXPECT_EQ(m->videoFilename(), newClip);
    EXPECT_EQ(m->channelMovie()->path(), newClip.toStdString());
    EXPECT_TRUE(log.lines().isEmpty());
    const int shown = tickAndRead();
    EXPECT_GE(shown, 0);
    EXPECT_LT(shown, 12) << "the stage still shows the old clip";

    const QString missing = QString::fromStdString(clips::tempClipPath("gone.mp4"));
    EXPECT_FALSE(m->replaceMovie(missing, &w.view));
    EXPECT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines().value(0).startsWith(QStringLiteral("NewMovieFromProperties failed with ")));
    EXPECT_EQ(m->videoFilename(), newClip);
    EXPECT_EQ(m->channelMovie()->path(), newClip.toStdString());
}

// A musician that cannot be made (here: no shared context to build its textures on) refuses
// the drop after its own log line, and nothing is appended.
TEST_F(TableAndDrops, DropWhoseMusicianCannotBeMadeIsRefused) {
    stage::OpenGLView bare;
    bare.awakeFromNib();
    w.orchestra->openGLView = &bare;
    test::LogCapture log;
    auto drag = filesDrag({clip("orphan.mp4")});
    EXPECT_FALSE(w.orchestra->acceptDrop(drag.get(), -1, DropOperation::Above));
    EXPECT_EQ(w.model.rowCount(), 0);
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("QTVisualContext creation failed with error:%1")
                                           .arg(platform::kVisualContextNoSharedContext)});
    w.orchestra->openGLView = &w.view;
}

}  // namespace
}  // namespace loopstage::orchestra
