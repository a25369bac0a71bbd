// Micro benchmarks of the render tick's own code: frame choice in the pool, the walk over the
// musician list, and a musician's take when nothing new is due (the common tick). Each reports
// the C++ allocations it made per iteration, which must be 0.
#include <GL/gl.h>
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "clips/Clips.h"
#include "media/FramePool.h"
#include "media/Movie.h"
#include "musician/Musician.h"
#include "orchestra/MusicianList.h"
#include "platform/HostTime.h"
#include "stage/OpenGLView.h"

namespace {
std::atomic<int64_t> gAllocations{0};
}  // namespace

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace loopstage {
struct Stage;
extern std::unique_ptr<Stage> gStage;
namespace {

struct AllocationCounter {
    benchmark::State& state;
    int64_t start = gAllocations.load();
    ~AllocationCounter() {
        state.counters["allocs_per_iter"] = benchmark::Counter(
            static_cast<double>(gAllocations.load() - start), benchmark::Counter::kAvgIterations);
    }
};

// Take the newest due frame among a full queue and give it back, as a tick and the decoder do.
void BM_FrameChoice(benchmark::State& state) {
    auto pool = std::make_shared<media::FramePool>(4, 4, 6, 3);
    const uint64_t generation = pool->control().generation;
    int64_t time = 0;
    auto refill = [&] {
        for (int slot; (slot = pool->acquire(generation)) >= 0; time += 33'333'333) {
            pool->publish(slot, time, 0, generation, 4, 4);
        }
    };
    refill();
    int64_t now = 0;
    AllocationCounter allocations{state};
    for (auto _ : state) {
        now += 33'333'333;
        benchmark::DoNotOptimize(pool->newestSerial(now));
        media::FrameRef frame = pool->takeNewest(now);
        benchmark::DoNotOptimize(frame.get());
        frame.reset();
        refill();
    }
}
BENCHMARK(BM_FrameChoice);

}  // namespace

struct Stage {
    stage::OpenGLView view;
    std::string clip = clips::tempClipPath("micro.mp4");
    Stage() {
        view.awakeFromNib();
        view.setupSharedContext();
        clips::writeClip(clip, clips::ClipSpec{});
    }
};

// Made after the application and destroyed before it: windows and contexts need one.
std::unique_ptr<Stage> gStage;

namespace {

Stage& stageOnce() {
    if (!gStage) gStage = std::make_unique<Stage>();
    return *gStage;
}

void BM_ListWalk(benchmark::State& state) {
    orchestra::MusicianList list;
    for (int i = 0; i < state.range(0); ++i) {
        auto m = musician::Musician::initWithName(
            QStringLiteral("m"), QString::fromStdString(stageOnce().clip), &stageOnce().view);
        if (!m) {
            state.SkipWithError("no musician (no OpenGL here?)");
            return;
        }
        list.append(std::move(m));
    }
    AllocationCounter allocations{state};
    for (auto _ : state) {
        for (std::size_t i = 0; i < list.count(); ++i) benchmark::DoNotOptimize(list.at(i));
    }
}
BENCHMARK(BM_ListWalk)->Arg(8)->Arg(64);

// The tick asks a musician whose current frame is still the newest: task, one query, no take.
void BM_RenderChannelNothingNew(benchmark::State& state) {
    auto m = musician::Musician::initWithName(
        QStringLiteral("m"), QString::fromStdString(stageOnce().clip), &stageOnce().view);
    if (!m) {
        state.SkipWithError("no musician (no OpenGL here?)");
        return;
    }
    m->channelMovie()->setRate(0);  // the clock stands: after one take nothing new comes
    const platform::VideoTimeStamp ts{platform::hostTimeNow(), 0, 16'666'667, 1.0};
    for (int i = 0; i < 1000 && !m->currentTexture(); ++i) m->renderChannel(&ts);
    AllocationCounter allocations{state};
    for (auto _ : state) benchmark::DoNotOptimize(m->renderChannel(&ts));
}
BENCHMARK(BM_RenderChannelNothingNew);

// What the first bind of a new frame costs in the drawing context: one RGBA upload into a
// texture of the picture's size (the size a billboard asks for, or the full picture).
void BM_UploadRgba(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    QOffscreenSurface surface;
    surface.setFormat(stageOnce().view.sharedContext()->format());
    surface.create();
    QOpenGLContext context;
    context.setFormat(surface.format());
    context.setShareContext(stageOnce().view.sharedContext());
    if (!context.create() || !context.makeCurrent(&surface)) {
        state.SkipWithError("no OpenGL context");
        return;
    }
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4, 0x80);
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    for (auto _ : state) {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE,
                        pixels.data());
        glFinish();
    }
    glDeleteTextures(1, &texture);
    context.doneCurrent();
}
BENCHMARK(BM_UploadRgba)->Args({1280, 720})->Args({256, 160})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace loopstage

int main(int argc, char** argv) {
    QCoreApplication::setAttribute(Qt::AA_DontCheckOpenGLContextThreadAffinity);
    QGuiApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    loopstage::gStage.reset();
    return 0;
}
