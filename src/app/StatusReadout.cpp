#include "app/StatusReadout.h"

#include <QCoreApplication>

#include "media/Movie.h"
#include "musician/Musician.h"
#include "orchestra/Orchestra.h"
#include "platform/HostTime.h"
#include "stage/OpenGLView.h"

namespace loopstage::app {

ReadoutSample sampleReadout(const orchestra::Orchestra& orchestra, const stage::OpenGLView& view) {
    ReadoutSample sample;
    sample.hostNs = platform::hostTimeNow();
    sample.ticks = orchestra.tickStats().ticks();
    sample.framesOutput = view.framesOutput();
    const orchestra::MusicianList* list = orchestra.musicianList();
    const std::size_t count = list ? list->count() : 0;
    sample.musicians.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const musician::Musician* m = list->at(i);
        sample.musicians.push_back(
            {m->stats().framesTaken.load(std::memory_order_relaxed),
             m->channelMovie() ? m->channelMovie()->counters().framesSkippedLate : 0,
             m->stats().wraps.load(std::memory_order_relaxed)});
    }
    return sample;
}

namespace {
QString tr(const char* text) { return QCoreApplication::translate("StatusReadout", text); }
}  // namespace

QString readoutText(const ReadoutSample& previous, const ReadoutSample& now, bool playing) {
    const double seconds = static_cast<double>(now.hostNs - previous.hostNs) / 1e9;
    auto perSecond = [seconds](int64_t delta) {
        return seconds > 0 ? static_cast<double>(delta) / seconds : 0.0;
    };
    int64_t taken = 0, late = 0, loops = 0;
    for (std::size_t i = 0; i < now.musicians.size(); ++i) {
        const ReadoutSample::Musician& m = now.musicians[i];
        // A musician that came in since the last sample counts from zero.
        const ReadoutSample::Musician before =
            i < previous.musicians.size() ? previous.musicians[i] : ReadoutSample::Musician{};
        taken += m.framesTaken - before.framesTaken;
        late += m.late;
        loops += m.loops;
    }
    const auto clips = static_cast<qlonglong>(now.musicians.size());
    const QString state = playing ? tr("Playing") : tr("Stopped");
    const QString perClip =
        clips ? tr("%1 frames/s each").arg(perSecond(taken) / static_cast<double>(clips), 0, 'f', 1)
              : tr("add clips with Ctrl+O or drop movie files");
    return QStringLiteral("%1 · %2 ticks/s · %3 clips, %4 · %5 late · %6 loops · %7 frames output")
        .arg(state)
        .arg(perSecond(now.ticks - previous.ticks), 0, 'f', 1)
        .arg(clips)
        .arg(perClip)
        .arg(static_cast<qlonglong>(late))
        .arg(static_cast<qlonglong>(loops))
        .arg(static_cast<qlonglong>(now.framesOutput));
}

}  // namespace loopstage::app
