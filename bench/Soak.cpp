// Soak: looping clips for a long while at the display's rate, sampling resident memory, GL
// textures held and decoded frames queued every few seconds. Prints every sample, the growth
// and one JSON summary line; exits 1 when memory grew by more than 5 % after the first minute
// or a count went past its bound.
//   loopstage_soak [--clips 8] [--minutes 10] [--every 10] [--clip-dir DIR]
#include <QApplication>
#include <QMimeData>
#include <QTableView>
#include <QTest>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "app/Application.h"
#include "app/MainWindow.h"
#include "media/Movie.h"
#include "musician/Musician.h"
#include "orchestra/Orchestra.h"
#include "textures/TextureVisualContext.h"

using namespace loopstage;

int main(int argc, char** argv) {
    int clips = 8;
    double minutes = 10, every = 10;
    std::string clipDir = "/tmp/loopstage-bench-clips";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--clips")
            clips = std::atoi(argv[i + 1]);
        else if (key == "--minutes")
            minutes = std::atof(argv[i + 1]);
        else if (key == "--every")
            every = std::atof(argv[i + 1]);
        else if (key == "--clip-dir")
            clipDir = argv[i + 1];
    }
    app::prepareApplication();
    QApplication application(argc, argv);
    // Short clips loop often: a leak per loop shows within minutes.
    const std::string clip = bench::ensureClip(clipDir, 1280, 720, 30, 2.0);
    if (clip.empty()) return 1;
    app::MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    orchestra::Orchestra& orchestra = *window.orchestra();
    for (int i = 0; i < clips; ++i) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(clip))});
        if (!orchestra.acceptDrop(&data, -1, orchestra::DropOperation::Above)) return 1;
        window.musicianView()->model()->setData(window.musicianView()->model()->index(i, 3),
                                                (i % 4) * 1.1 - 1.65, Qt::EditRole);
        window.musicianView()->model()->setData(window.musicianView()->model()->index(i, 4),
                                                (i / 4) * 1.1 - 0.6, Qt::EditRole);
    }
    orchestra.togglePlayback();

    struct Sample {
        double seconds;
        long residentKiB;
        int textures;
        int frames;
        int64_t loops;
    };
    std::vector<Sample> samples;
    const int count = static_cast<int>(minutes * 60 / every);
    int texturesBound = 0, framesBound = 0;
    for (size_t m = 0; m < orchestra.musicianCount(); ++m) {
        texturesBound += textures::TextureVisualContext::kTexturesPerContext;
        framesBound += orchestra.musicianList()->at(m)->channelMovie()->poolSize();
    }
    for (int i = 0; i <= count; ++i) {
        if (i > 0) QTest::qWait(static_cast<int>(every * 1000));
        Sample s{i * every, bench::residentKiB(), 0, 0, 0};
        for (size_t m = 0; m < orchestra.musicianCount(); ++m) {
            const musician::Musician* musician = orchestra.musicianList()->at(m);
            s.textures += musician->visualContext()->texturesInUse();
            s.frames += musician->channelMovie()->framesInUse();
            s.loops += musician->stats().wraps.load();
        }
        samples.push_back(s);
        std::printf("%6.0f s: resident %.1f MiB, textures held %d, decoded frames %d, loops %lld\n",
                    s.seconds, s.residentKiB / 1024.0, s.textures, s.frames,
                    static_cast<long long>(s.loops));
        std::fflush(stdout);
    }
    orchestra.togglePlayback();

    // Growth is judged from the first minute on: caches and pools fill during it.
    const auto afterMinute = std::find_if(samples.begin(), samples.end(),
                                          [](const Sample& s) { return s.seconds >= 60; });
    const Sample& base = afterMinute != samples.end() ? *afterMinute : samples.front();
    const Sample& last = samples.back();
    const double growthPct = 100.0 * static_cast<double>(last.residentKiB - base.residentKiB) /
                             static_cast<double>(base.residentKiB);
    int maxTextures = 0, maxFrames = 0;
    for (const Sample& s : samples) {
        maxTextures = std::max(maxTextures, s.textures);
        maxFrames = std::max(maxFrames, s.frames);
    }
    const bool ok = growthPct <= 5.0 && maxTextures <= texturesBound && maxFrames <= framesBound;
    std::printf(
        "{\"clips\": %d, \"minutes\": %.1f, \"loops\": %lld, \"resident_mib_after_first_minute\": "
        "%.1f, "
        "\"resident_mib_at_end\": %.1f, \"growth_pct\": %.2f, \"textures_max\": %d, "
        "\"textures_bound\": %d, \"decoded_frames_max\": %d, \"decoded_frames_bound\": %d, "
        "\"ok\": %s}\n",
        clips, minutes, static_cast<long long>(last.loops), base.residentKiB / 1024.0,
        last.residentKiB / 1024.0, growthPct, maxTextures, texturesBound, maxFrames, framesBound,
        ok ? "true" : "false");
    return ok ? 0 : 1;
}
