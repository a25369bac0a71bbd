#pragma once

namespace loopstage::media {

// Routes FFmpeg's av_log into Qt logging. Idempotent and thread-safe; Movie::open and
// canOpenMovie call it, so nobody else needs to. FFmpeg calls the installed callback from
// whichever thread logs (main, decode workers); Qt's logging is thread-safe.
//
// Quiet by default: FFmpeg's lines go to the category "loopstage.ffmpeg" as info, which is off
// unless a developer turns it on (QT_LOGGING_RULES="loopstage.ffmpeg.info=true"). Then only
// AV_LOG_ERROR and worse reach Qt, at most a burst per second for the whole process, with a
// count of what was dropped.
void installFFmpegLogging();

}  // namespace loopstage::media
