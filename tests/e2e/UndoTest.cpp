// Remove, undo and redo on the real window while the clips play: the render ticks go on reading
// the list while rows go and come back (run under ASan and TSan too).
#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>

#include "app/MainWindow.h"
#include "media/Movie.h"
#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "orchestra/ShowFile.h"
#include "support/Support.h"

namespace loopstage::app {
namespace {

// The table as a person reads it: every row's cells, in order.
QStringList tableText(const orchestra::MusicianTableModel& m) {
    QStringList rows;
    for (int r = 0; r < m.rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < m.columnCount(); ++c) {
            const QModelIndex i = m.index(r, c);
            cells << (i.data(Qt::CheckStateRole).isValid()
                          ? QString::number(i.data(Qt::CheckStateRole).toInt())
                          : i.data(Qt::DisplayRole).toString());
        }
        rows << cells.join('|');
    }
    return rows;
}

TEST(Undo, EveryTableChangeUndoesAndRedoesWhileClipsPlay) {
    MainWindow window;
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    orchestra::MusicianTableModel& model = *window.tableModel();
    QTableView& table = *window.musicianView();
    QUndoStack& stack = *window.undoStack();
    const QString a = test::qclip("undo-a.mp4"), b = test::qclip("undo-b.mp4"),
                  c = test::qclip("undo-c.mkv", [] {
                      test::ClipSpec s;
                      s.container = "mkv";
                      return s;
                  }());
    window.action(QStringLiteral("togglePlayback"))->trigger();
    ASSERT_TRUE(window.orchestra()->isPlaying());

    std::vector<QStringList> states{tableText(model)};
    auto step = [&](auto change) {
        change();
        states.push_back(tableText(model));
    };
    step([&] { model.dropMimeData(test::filesDrag({a}).get(), Qt::CopyAction, -1, 0, {}); });
    step([&] { model.dropMimeData(test::filesDrag({b}).get(), Qt::CopyAction, -1, 0, {}); });
    step([&] {
        model.dropMimeData(test::filesDrag({c}).get(), Qt::CopyAction, -1, 0, model.index(0, 0));
    });
    step([&] {
        model.setData(model.index(1, model.columnOfIdentifier(orchestra::ID_COL_X)), 2.5,
                      Qt::EditRole);
    });
    step([&] {
        model.setData(model.index(0, model.columnOfIdentifier(orchestra::ID_COL_VISIBLE)),
                      Qt::Unchecked, Qt::CheckStateRole);
    });
    // Both rows selected, then Delete on the table.
    step([&] {
        table.setFocus();
        table.selectAll();
        QTest::keyClick(&table, Qt::Key_Delete);
    });
    ASSERT_EQ(states.size(), 7u);
    EXPECT_EQ(states[2].size(), 2);
    EXPECT_TRUE(states[3][0].contains(QLatin1String("undo-c.mkv"))) << states[3][0].toStdString();
    EXPECT_TRUE(states.back().isEmpty());
    EXPECT_EQ(stack.count(), 6);
    // Removed musicians go with their movies.
    EXPECT_TRUE(QTest::qWaitFor([] { return media::MovieEngine::openMovieCount() == 0; }));

    for (int i = 5; i >= 0; --i) {
        QTest::keySequence(&window, QKeySequence::Undo);
        EXPECT_EQ(tableText(model), states[static_cast<size_t>(i)]) << "after undoing to " << i;
        QTest::qWait(30);  // ticks run between the steps
    }
    for (size_t i = 1; i < states.size(); ++i) {
        QTest::keySequence(&window, QKeySequence::Redo);
        EXPECT_EQ(tableText(model), states[i]) << "after redoing to " << i;
    }
    EXPECT_EQ(window.orchestra()->tickStats().ticks() > 0, true);
    window.action(QStringLiteral("togglePlayback"))->trigger();
}

}  // namespace
}  // namespace loopstage::app

namespace loopstage::app {
namespace {

// A show opened with a clip gone missing keeps that clip's row, marked and explained, and saves
// it back as it was; a file that is not a show changes nothing.
TEST(ShowInWindow, MissingClipsKeepTheirRowsAndForeignFilesChangeNothing) {
    MainWindow window;
    QTemporaryDir folder;
    orchestra::Show show;
    show.camera = {0.5f, -4, 10, 1};
    show.musicians = {{"gone", folder.filePath("gone.mp4"), false, 1, 2, 3},
                      {"here", test::qclip("show-here.mp4"), true, -1, 0, 0}};
    const QString path = folder.filePath("a.loopstage");
    QString error;
    ASSERT_TRUE(orchestra::writeShow(path, show, &error));
    ASSERT_TRUE(window.openShowFile(path, &error)) << error.toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.clipsStillLoading() == 0; }));
    orchestra::MusicianTableModel& model = *window.tableModel();
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_TRUE(model.index(0, 0).data(Qt::ToolTipRole).toString().contains("not found"));
    EXPECT_EQ(window.currentShow(), show);
    EXPECT_FALSE(window.isShowModified());

    model.setData(model.index(1, model.columnOfIdentifier(orchestra::ID_COL_X)), 4.0, Qt::EditRole);
    EXPECT_TRUE(window.isShowModified());
    ASSERT_TRUE(window.saveShowFile(path, &error));
    orchestra::Show back;
    ASSERT_TRUE(orchestra::readShow(path, &back, &error));
    show.musicians[1].x = 4;
    EXPECT_EQ(back, show);

    const QString foreign = folder.filePath("b.loopstage");
    QFile f(foreign);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) &&
                f.write("{\"format\": \"loopstage-show\", \"version\": 9}"));
    f.close();
    EXPECT_FALSE(window.openShowFile(foreign, &error));
    EXPECT_TRUE(error.contains("newer")) << error.toStdString();
    EXPECT_EQ(window.currentShow(), show);
    EXPECT_EQ(window.showPath(), QFileInfo(path).absoluteFilePath());
}

}  // namespace
}  // namespace loopstage::app
