#include "media/FFmpegLog.h"

#include <QLoggingCategory>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "media/FFmpegHandles.h"

// FFmpeg's own complaints are for developers (QT_LOGGING_RULES="loopstage.ffmpeg.info=true"):
// a user who drops a bad file gets the program's one line for it, not the demuxer's chatter.
Q_LOGGING_CATEGORY(lcFFmpeg, "loopstage.ffmpeg", QtWarningMsg)

namespace loopstage::media {
namespace {

// A corrupt clip that loops makes FFmpeg repeat the same complaint every pass of every movie;
// a burst per second keeps the first lines (the useful ones) and drops the flood.
constexpr int kBurst = 10;

std::atomic<int64_t> g_windowSecond{-1};
std::atomic<int> g_linesInWindow{0};
std::atomic<int> g_dropped{0};

bool admitLine() {
    const int64_t second = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
    int64_t window = g_windowSecond.load(std::memory_order_relaxed);
    if (window != second &&
        g_windowSecond.compare_exchange_strong(window, second, std::memory_order_relaxed)) {
        g_linesInWindow.store(0, std::memory_order_relaxed);
        if (const int dropped = g_dropped.exchange(0, std::memory_order_relaxed))
            qCInfo(lcFFmpeg, "%d further FFmpeg log lines dropped", dropped);
    }
    if (g_linesInWindow.fetch_add(1, std::memory_order_relaxed) < kBurst) return true;
    g_dropped.fetch_add(1, std::memory_order_relaxed);
    return false;
}

void logCallback(void* avcl, int level, const char* fmt, va_list vl) {
    // av_vlog hands every message to the callback; the level filter is the callback's job.
    if (level > av_log_get_level() || !lcFFmpeg().isInfoEnabled()) return;
    if (!admitLine()) return;
    // FFmpeg may split one line over several calls; the prefix state follows the thread.
    thread_local int printPrefix = 1;
    char line[1024];
    va_list copy;
    va_copy(copy, vl);
    av_log_format_line2(avcl, level, fmt, copy, line, sizeof line, &printPrefix);
    va_end(copy);
    size_t n = std::strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
    if (n == 0) return;
    qCInfo(lcFFmpeg, "%s", line);
}

}  // namespace

void installFFmpegLogging() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_ERROR);
        av_log_set_callback(&logCallback);
    });
}

}  // namespace loopstage::media
