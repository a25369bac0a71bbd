#pragma once

namespace loopstage::platform {

// Routes FFmpeg's av_log into Qt logging. Idempotent and thread-safe; Movie::open and
// canOpenMovie call it, so nobody else needs to. FFmpeg calls the installed callback from
// whichever thread logs (main, decode workers); Qt's logging is thread-safe.
//
// Quiet by default: only AV_LOG_ERROR and worse reach Qt (as qWarning, or qCritical for fatal
// and panic), at most kBurst lines per second for the whole process, with a count of what was
// dropped. The environment variable LOOPSTAGE_FFMPEG_LOG = quiet|error|warning|info|verbose|debug
// changes the level when the callback is installed.
void installFFmpegLogging();

}  // namespace loopstage::platform
