#pragma once

#include <sys/stat.h>

#include <QProcess>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <string>

#include "clips/Clips.h"

namespace loopstage::clips {

// A file system whose files stop answering reads, as a share or a disk that stopped
// responding: served by loopstage_stallfs (FUSE) for as long as this lives. Where the build
// found no FUSE, or the mount is refused, mounted() is false.
class StalledShare {
public:
    // `playing`, when given, is served as playing() until stallNow().
    explicit StalledShare([[maybe_unused]] const std::string& playing = {}) {
#ifdef LOOPSTAGE_STALLFS
        dir_ = tempClipPath("stalled-share");
        std::filesystem::create_directories(dir_);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LOOPSTAGE_STALLFS_SOURCE", QString::fromStdString(playing));
        server_.setProcessEnvironment(env);
        server_.start(QStringLiteral(LOOPSTAGE_STALLFS), {QString::fromStdString(dir_), "-f"});
        struct stat st {};
        for (int i = 0; i < 100 && ::stat(file().c_str(), &st) != 0; ++i) QTest::qWait(50);
        mounted_ = ::stat(file().c_str(), &st) == 0;
#endif
    }
    ~StalledShare() {
        if (dir_.empty()) return;
        QProcess::execute(QStringLiteral("fusermount3"),
                          {"-u", "-z", QString::fromStdString(dir_)});
        server_.kill();
        server_.waitForFinished();
    }
    StalledShare(const StalledShare&) = delete;
    StalledShare& operator=(const StalledShare&) = delete;

    bool mounted() const { return mounted_; }
    std::string file() const { return dir_ + "/stalled.mp4"; }     // never answers
    std::string slowFile() const { return dir_ + "/slow.mp4"; }    // zeros, slowly
    std::string playing() const { return dir_ + "/playing.mkv"; }  // answers until stallNow()
    void stallNow() { ::kill(static_cast<pid_t>(server_.processId()), SIGUSR1); }

private:
    std::string dir_;
    QProcess server_;
    bool mounted_ = false;
};

}  // namespace loopstage::clips
