// Show files on a real disk: what a show keeps, where its clips are found after the folder
// moves, what is refused and why, and that a failed save leaves the old file whole.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>

#include "orchestra/ShowFile.h"

namespace loopstage::orchestra {
namespace {

Show sampleShow(const QString& folder, const QString& elsewhere) {
    Show show;
    show.camera = {1.5f, -7.25f, 30, 1.25f};
    show.musicians = {
        {QStringLiteral("violin"), folder + QStringLiteral("/clips/violin.mp4"), true, -1.5f, 0, 2},
        {QStringLiteral("cello"), elsewhere + QStringLiteral("/cello.mp4"), false, 0.25f, 1, -3}};
    return show;
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

TEST(ShowFile, KeepsEverythingAndFindsClipsBelowItsFolderAfterTheFolderMoves) {
    QTemporaryDir root, elsewhere;
    const QString folder = root.filePath(QStringLiteral("show"));
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/clips")));
    const Show show = sampleShow(folder, elsewhere.path());
    QString error;
    ASSERT_TRUE(writeShow(folder + QStringLiteral("/a.loopstage"), show, &error))
        << error.toStdString();

    Show back;
    ASSERT_TRUE(readShow(folder + QStringLiteral("/a.loopstage"), &back, &error))
        << error.toStdString();
    EXPECT_EQ(back, show);

    // The folder copied to another place: the clip below it is found there, the other one
    // where it always was.
    const QString moved = root.filePath(QStringLiteral("moved"));
    ASSERT_TRUE(QDir().rename(folder, moved));
    ASSERT_TRUE(readShow(moved + QStringLiteral("/a.loopstage"), &back, &error));
    EXPECT_EQ(back.musicians[0].file, moved + QStringLiteral("/clips/violin.mp4"));
    EXPECT_EQ(back.musicians[1].file, show.musicians[1].file);
}

TEST(ShowFile, RefusesWhatIsNotAShowSayingWhatAndWhere) {
    const QDir here(QStringLiteral("/shows"));
    struct Case {
        const char* json;
        const char* saying;
    };
    const Case cases[] = {
        {"{\"format\": \"loopstage-show\",\n \"version\": 1,\n \"musicians\": [,]}",
         "at line 3, column"},
        {"", "at line 1, column 1"},
        {"[1, 2]", "\"format\""},
        {"{\"format\": \"other-program\", \"version\": 1, \"musicians\": []}", "\"format\""},
        {"{\"format\": \"loopstage-show\", \"version\": 2, \"musicians\": []}",
         "newer version of this program (show version 2"},
        {"{\"format\": \"loopstage-show\", \"version\": 1.5, \"musicians\": []}", "version"},
        {"{\"format\": \"loopstage-show\", \"version\": 1}", "musicians: a list"},
        {"{\"format\": \"loopstage-show\", \"version\": 1, \"musicians\": [{\"file\": \"a\"}, "
         "{\"file\": \"b\", \"x\": \"far\"}]}",
         "musicians[1].x: a number"},
        {"{\"format\": \"loopstage-show\", \"version\": 1, \"musicians\": [{\"name\": \"a\"}]}",
         "musicians[0].file"},
        {"{\"format\": \"loopstage-show\", \"version\": 1, \"musicians\": [{\"file\": \"a\", "
         "\"y\": 1e300}]}",
         "musicians[0].y: out of range"},
        {"{\"format\": \"loopstage-show\", \"version\": 1, \"camera\": {\"heading\": true}, "
         "\"musicians\": []}",
         "camera.heading"},
        {"{\"format\": \"loopstage-show\", \"version\": 1, \"musicians\": [7]}",
         "musicians[0]: an object"},
    };
    for (const Case& c : cases) {
        Show kept;
        kept.musicians = {{QStringLiteral("kept"), QStringLiteral("/k.mp4"), true, 1, 2, 3}};
        const Show before = kept;
        QString error;
        EXPECT_FALSE(showFromJson(c.json, here, &kept, &error)) << c.json;
        EXPECT_TRUE(error.contains(QLatin1String(c.saying))) << error.toStdString();
        EXPECT_EQ(kept, before) << c.json;
    }
}

// A disk that fills up during the save: the write fails, says so, and the old show is whole.
TEST(ShowFile, SaveThatCannotFinishLeavesTheOldFileWhole) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.loopstage"));
    Show small = sampleShow(dir.path(), dir.path());
    QString error;
    ASSERT_TRUE(writeShow(path, small, &error));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray old = f.readAll();
    f.close();

    Show big = small;
    for (int i = 0; i < 2000; ++i) big.musicians.append(small.musicians[0]);
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = previous;
    limit.rlim_cur = 4096;  // a write past this fails with EFBIG, as on a full disk
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool written = writeShow(path, big, &error);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(written);
    EXPECT_FALSE(error.isEmpty());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), old);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("a.loopstage")});

    // A file far larger than any show is not read at all.
    ASSERT_TRUE(writeBytes(path, QByteArray(kMaxShowBytes + 1, ' ')));
    Show none;
    EXPECT_FALSE(readShow(path, &none, &error));
}

}  // namespace
}  // namespace loopstage::orchestra
