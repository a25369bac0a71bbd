// Scenario benchmark: the real window, N generated clips added through the real drop path while
// playback runs, S seconds of playing at the display link's rate. Prints its figures and one
// JSON summary line (the last line).
//   loopstage_scenario [--clips N] [--seconds S] [--width W] [--height H] [--fps F]
//                      [--clip-seconds C] [--clip-dir DIR] [--churn 1] [--fullscreen 1]
#include <GL/gl.h>
#include <pthread.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMimeData>
#include <QTableView>
#include <QTest>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "app/Application.h"
#include "app/MainWindow.h"
#include "clips/Clips.h"
#include "media/Movie.h"
#include "musician/Musician.h"
#include "orchestra/Orchestra.h"
#include "platform/HostTime.h"
#include "stage/OpenGLView.h"

using namespace loopstage;

// C++ allocations made on the render tick's thread: the tick must make none.
namespace {
std::atomic<int64_t> gTickAllocations{0};

bool onTickThread() {
    // Decided on the thread's first allocation, which comes after the link names its thread.
    thread_local const bool tick = [] {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        return std::strcmp(name, "loopstage-tick") == 0;
    }();
    return tick;
}
}  // namespace

void* operator new(std::size_t size) {
    if (onTickThread()) gTickAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Options {
    int clips = 4;
    double seconds = 10;
    int width = 1280, height = 720, fps = 30;
    double clipSeconds = 10;
    std::string clipDir = "/tmp/loopstage-bench-clips";
    int limit = 0;      // experiment: a fixed picture size limit for every clip
    bool flat = false;  // flat-colour clips instead of camera-like footage
    // Drop every clip while playback is stopped, wait, then play: measures how clips whose
    // clocks ran on meanwhile catch up (frames are counted from 1 s after Play).
    bool droppedWhileStopped = false;
    // While measuring, a clip is added and then replaced twice a second on a row of its own:
    // every change moves the decoding-thread budget of the clips that play on. Only those clips
    // are counted.
    bool churn = false;
    // The stage on the whole screen, as a show runs, instead of a 1180x640 window.
    bool fullscreen = false;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--clips")
            o.clips = std::atoi(value);
        else if (key == "--seconds")
            o.seconds = std::atof(value);
        else if (key == "--width")
            o.width = std::atoi(value);
        else if (key == "--height")
            o.height = std::atoi(value);
        else if (key == "--fps")
            o.fps = std::atoi(value);
        else if (key == "--clip-seconds")
            o.clipSeconds = std::atof(value);
        else if (key == "--clip-dir")
            o.clipDir = value;
        else if (key == "--flat")
            o.flat = std::atoi(value) != 0;
        else if (key == "--dropped-while-stopped")
            o.droppedWhileStopped = std::atoi(value) != 0;
        else if (key == "--limit")
            o.limit = std::atoi(value);
        else if (key == "--churn")
            o.churn = std::atoi(value) != 0;
        else if (key == "--fullscreen")
            o.fullscreen = std::atoi(value) != 0;
    }
    return o;
}

// CPU seconds (user + system) spent so far by this process's threads, summed by thread name.
std::map<std::string, double> cpuByThreadName() {
    std::map<std::string, double> cpu;
    const double ticksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (const QString& tid :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::ifstream comm("/proc/self/task/" + tid.toStdString() + "/comm");
        std::string name;
        std::getline(comm, name);
        std::ifstream stat("/proc/self/task/" + tid.toStdString() + "/stat");
        std::string line;
        std::getline(stat, line);
        // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int f = 3; f <= 15 && rest >> field; ++f) {
            if (f == 14) utime = std::atof(field.c_str());
            if (f == 15) stime = std::atof(field.c_str());
        }
        cpu[name] += (utime + stime) / ticksPerSecond;
    }
    return cpu;
}

// The machine's CPU time so far from /proc/stat, in clock ticks: the host's steal, idle, total.
struct MachineTime {
    double steal = 0, idle = 0, total = 0;
};
MachineTime machineTime() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    stat >> cpu;
    MachineTime t;
    double field = 0;
    // user nice system idle iowait irq softirq steal (guest time is inside user already)
    for (int i = 0; i < 8 && stat >> field; ++i) {
        t.total += field;
        if (i == 3 || i == 4) t.idle += field;
        if (i == 7) t.steal += field;
    }
    return t;
}

std::string ensureClip(const Options& o) {
    return bench::ensureClip(o.clipDir, o.width, o.height, o.fps, o.clipSeconds, !o.flat);
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    app::prepareApplication();
    QApplication application(argc, argv);
    const std::string clip = ensureClip(o);
    if (clip.empty()) return 1;

    app::MainWindow window;
    window.resize(1180, 640);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    if (o.fullscreen) {
        window.setStageFullScreen(true);
        QTest::qWait(500);  // the stage takes the new size before the clips come
    }
    orchestra::Orchestra& orchestra = *window.orchestra();
    stage::OpenGLView& view = *window.openGLView();

    std::string renderer = "unknown";
    view.lock();
    if (QOpenGLContext::currentContext()) {
        renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    } else if (view.openGLContext()->makeCurrent(&view)) {
        renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
        view.openGLContext()->doneCurrent();
    }
    view.unlock();

    // Playing before the drops: every drop lands while the clips before it play.
    if (!o.droppedWhileStopped) orchestra.togglePlayback();
    const long residentBefore = bench::residentKiB();
    std::vector<double> dropLatencyMs;
    const int64_t lateBeforeDrops = orchestra.tickStats().lateTicks();
    const int64_t ticksBeforeDrops = orchestra.tickStats().ticks();
    QAbstractItemModel* model = window.musicianView()->model();
    const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(o.clips))));
    for (int i = 0; i < o.clips; ++i) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(clip))});
        const int64_t dropped = platform::hostTimeNow();
        if (!orchestra.acceptDrop(&data, -1, orchestra::DropOperation::Above)) {
            std::fprintf(stderr, "drop %d refused\n", i);
            return 1;
        }
        // A grid in front of the camera, every billboard in view.
        const int row = static_cast<int>(orchestra.musicianCount()) - 1;
        model->setData(model->index(row, 3), (i % columns - (columns - 1) / 2.0) * 1.1,
                       Qt::EditRole);
        model->setData(model->index(row, 4), (i / columns) * 1.1 - 0.6, Qt::EditRole);
        model->setData(model->index(row, 5), -0.5 * columns, Qt::EditRole);
        const musician::Musician* m = orchestra.musicianList()->at(static_cast<size_t>(row));
        if (o.limit > 0) m->channelMovie()->setPictureSizeLimit(o.limit, o.limit);
        while (!o.droppedWhileStopped && m->stats().framesTaken.load() == 0 &&
               platform::hostTimeNow() - dropped < 2'000'000'000) {
            QTest::qWait(1);
        }
        const int64_t first = m->stats().firstTakeHostNs.load();
        if (first != 0) dropLatencyMs.push_back(static_cast<double>(first - dropped) / 1e6);
        QTest::qWait(150);
    }
    const int64_t lateDuringDrops = orchestra.tickStats().lateTicks() - lateBeforeDrops;
    const int64_t ticksDuringDrops = orchestra.tickStats().ticks() - ticksBeforeDrops;
    if (o.droppedWhileStopped) {
        // Set up as for a show, then started: every clock has run on since its drop.
        QTest::qWait(5000);
        orchestra.togglePlayback();
    }
    QTest::qWait(1000);  // settle

    const size_t n = orchestra.musicianCount();
    std::vector<int64_t> takenBefore(n);
    for (size_t i = 0; i < n; ++i) {
        takenBefore[i] = orchestra.musicianList()->at(i)->stats().framesTaken.load();
    }
    const int64_t ticksBefore = orchestra.tickStats().ticks();
    const int64_t lateBefore = orchestra.tickStats().lateTicks();
    const int64_t tickAllocationsBefore = gTickAllocations.load();
    const long residentAtStart = bench::residentKiB();
    const auto cpuBefore = cpuByThreadName();
    const MachineTime machineBefore = machineTime();
    const int64_t startNs = platform::hostTimeNow();
    int64_t churnDrops = 0;
    if (o.churn) {
        const int64_t until = startNs + static_cast<int64_t>(o.seconds * 1e9);
        while (platform::hostTimeNow() < until) {
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(QString::fromStdString(clip))});
            const bool first = orchestra.musicianCount() == n;
            if (!orchestra.acceptDrop(
                    &data, first ? -1 : static_cast<int>(n),
                    first ? orchestra::DropOperation::Above : orchestra::DropOperation::On))
                std::fprintf(stderr, "churn drop refused\n");
            else
                ++churnDrops;
            QTest::qWait(500);
        }
    } else {
        QTest::qWait(static_cast<int>(o.seconds * 1000));
    }
    const int64_t endNs = platform::hostTimeNow();
    const auto cpuAfter = cpuByThreadName();
    const MachineTime machineAfter = machineTime();
    const int64_t ticks = orchestra.tickStats().ticks() - ticksBefore;
    const int64_t late = orchestra.tickStats().lateTicks() - lateBefore;
    const int64_t tickAllocations = gTickAllocations.load() - tickAllocationsBefore;
    const long residentAfter = bench::residentKiB();
    orchestra.togglePlayback();
    const double elapsed = static_cast<double>(endNs - startNs) / 1e9;

    std::vector<double> workMs;
    const int64_t lastTick = orchestra.tickStats().ticks();
    for (int64_t t = std::max(ticksBefore, lastTick - orchestra::TickStats::kWorkSamples);
         t < lastTick; ++t) {
        workMs.push_back(orchestra.tickStats().workUs(t) / 1000.0);
    }
    int64_t taken = 0, wrapsOnCadence = 0, maxWrapGap = 0;
    const int64_t periodNs = 1'000'000'000LL / 60;
    const int expectedGap =
        static_cast<int>(std::ceil((1e9 / o.fps) / static_cast<double>(periodNs) - 1e-6));
    for (size_t i = 0; i < n; ++i) {
        const auto& s = orchestra.musicianList()->at(i)->stats();
        taken += s.framesTaken.load() - takenBefore[i];
        maxWrapGap = std::max<int64_t>(maxWrapGap, s.maxWrapGap.load());
        for (int g = 0; g <= expectedGap && g <= musician::ChannelStats::kMaxGap; ++g) {
            wrapsOnCadence += s.wrapGaps[static_cast<size_t>(g)].load();
        }
    }
    // The longest wait for a new picture against the mean wait, over every clip: a clip that
    // thins out evenly stays near 1, one that freezes while it catches up goes far above.
    double maxGapRatio = 0;
    for (size_t i = 0; i < n; ++i) {
        const auto& s = orchestra.musicianList()->at(i)->stats();
        int64_t takes = 0, refreshes = 0, longest = 0;
        for (int g = 1; g <= musician::ChannelStats::kMaxGap; ++g) {
            const int64_t count = s.gaps[static_cast<size_t>(g)].load();
            takes += count;
            refreshes += count * g;
            if (count > 0) longest = g;
        }
        if (takes > 0)
            maxGapRatio = std::max(
                maxGapRatio, static_cast<double>(longest) * takes / static_cast<double>(refreshes));
    }
    // Where the first clip's worker spends its time per picture, and what it leaves out.
    media::MovieCounters firstClip;
    if (n > 0 && orchestra.musicianList()->at(0)->channelMovie())
        firstClip = orchestra.musicianList()->at(0)->channelMovie()->counters();
    int64_t wrapsAll = 0;
    for (size_t i = 0; i < n; ++i)
        wrapsAll += orchestra.musicianList()->at(i)->stats().wraps.load();
    // A display shows at most one new frame per refresh: a 120 fps clip on a 60 Hz display has
    // 60 frames due a second.
    const double shownRate = std::min<double>(o.fps, static_cast<double>(ticks) / elapsed);
    const double due = elapsed * shownRate * static_cast<double>(n);
    auto cores = [&](const std::string& name) {
        const double before = cpuBefore.count(name) ? cpuBefore.at(name) : 0;
        const double after = cpuAfter.count(name) ? cpuAfter.at(name) : 0;
        return (after - before) / elapsed;
    };
    // Mesa's software rasteriser draws on threads of its own; a GPU would take this off the CPU.
    double rasterCores = 0;
    for (const auto& [name, seconds] : cpuAfter)
        if (name.rfind("llvmpipe", 0) == 0)
            rasterCores += (seconds - (cpuBefore.count(name) ? cpuBefore.at(name) : 0)) / elapsed;
    const double machineTicks = std::max(1.0, machineAfter.total - machineBefore.total);
    const double stealPct = 100.0 * (machineAfter.steal - machineBefore.steal) / machineTicks;
    const double idlePct = 100.0 * (machineAfter.idle - machineBefore.idle) / machineTicks;
    double totalCpu = 0;
    for (const auto& [name, seconds] : cpuAfter)
        totalCpu += seconds - (cpuBefore.count(name) ? cpuBefore.at(name) : 0);

    std::printf(
        "{\"clips\": %zu, \"clip\": \"%dx%d@%d\", \"seconds\": %.2f, \"ticks\": %lld, \"tick_hz\": "
        "%.2f, "
        "\"late_ticks_pct\": %.2f, \"frames_shown_pct\": %.2f, \"tick_work_p50_ms\": %.2f, "
        "\"tick_work_p99_ms\": %.2f, \"render_thread_cores\": %.2f, \"decode_cores\": %.2f, "
        "\"process_cores\": %.2f, \"resident_mib_per_clip\": %.1f, \"drop_to_first_frame_p50_ms\": "
        "%.1f, "
        "\"late_ticks_during_drops\": %lld, \"ticks_during_drops\": %lld, \"wraps\": %lld, "
        "\"wraps_on_cadence_pct\": %.1f, \"wrap_gap_max_ticks\": %lld, "
        "\"wrap_gap_expected_ticks\": %d, "
        "\"decode_convert_ms_per_frame\": %.3f, \"tick_allocations\": %lld, "
        "\"resident_growth_mib\": %.1f, \"churn_drops\": %lld, \"max_gap_ratio\": %.2f, "
        "\"raster_cores\": %.2f, \"decode_ms_per_picture\": %.2f, \"convert_ms_per_picture\": "
        "%.2f, "
        "\"discard_level\": %d, \"pictures_decoded\": %lld, \"steal_pct\": %.1f, \"idle_pct\": "
        "%.1f, \"stage\": \"%dx%d\", "
        "\"gl_renderer\": \"%s\"}\n",
        n, o.width, o.height, o.fps, elapsed, static_cast<long long>(ticks),
        static_cast<double>(ticks) / elapsed,
        ticks ? 100.0 * static_cast<double>(late) / static_cast<double>(ticks) : 0.0,
        due > 0 ? std::min(100.0, 100.0 * static_cast<double>(taken) / due) : 0.0,
        bench::percentile(workMs, 0.5), bench::percentile(workMs, 0.99), cores("loopstage-tick"),
        cores("loopstage-dec"), totalCpu / elapsed,
        n ? static_cast<double>(residentAfter - residentBefore) / 1024.0 / static_cast<double>(n)
          : 0.0,
        bench::percentile(dropLatencyMs, 0.5), static_cast<long long>(lateDuringDrops),
        static_cast<long long>(ticksDuringDrops), static_cast<long long>(wrapsAll),
        wrapsAll ? 100.0 * static_cast<double>(wrapsOnCadence) / static_cast<double>(wrapsAll)
                 : 100.0,
        static_cast<long long>(maxWrapGap), expectedGap,
        n ? cores("loopstage-dec") * 1000.0 / (static_cast<double>(n) * o.fps) : 0.0,
        static_cast<long long>(tickAllocations),
        static_cast<double>(residentAfter - residentAtStart) / 1024.0,
        static_cast<long long>(churnDrops), maxGapRatio, rasterCores,
        static_cast<double>(firstClip.decodeNsPerPicture) / 1e6,
        static_cast<double>(firstClip.convertNsPerPicture) / 1e6, firstClip.discardLevel,
        static_cast<long long>(firstClip.framesDecoded), stealPct, idlePct, view.width(),
        view.height(), renderer.c_str());
    return 0;
}
