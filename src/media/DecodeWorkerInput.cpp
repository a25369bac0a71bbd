// The decode worker's input: the demuxer it takes over, the decoder it opens (and rebuilds
// for a new share of the thread budget), and the way back to the start of the file at a wrap.
// Runs on the worker's thread only, as DecodeWorker.cpp does.
#include <climits>

#include "media/DecodeWorker.h"
#include "media/MovieProbe.h"
#include "media/MovieRegistry.h"
#include "platform/HostTime.h"

namespace loopstage::media {
namespace {

using namespace ffmpeg;

// A reopen (for a file that cannot seek back) may take this long before the pass counts as
// failed.
constexpr int64_t kReopenDeadlineNs = 5'000'000'000;
// A new share of the decoding threads is taken once it has held this long: a drop that
// replaces a clip changes it twice, and clips added one after the other as often.
constexpr int64_t kBudgetSettleNs = 1'000'000'000;

}  // namespace

int64_t DecodeWorker::ticksOf(int64_t ns, AVRational timeBase) {
    return av_rescale_q_rnd(ns, AVRational{1, 1'000'000'000}, timeBase, AV_ROUND_UP);
}

// From now on a read ends when the worker is asked to stop, and not before: a file that
// stalls for a while mid-play is waited for.
void DecodeWorker::takeOver(Demuxer demuxer) {
    demuxer_.format.reset();  // before the interrupt target it may call
    demuxer_ = std::move(demuxer);
    format_ = demuxer_.format.get();
    demuxer_.interrupt->cancel.store(&stopRequested_);
    demuxer_.interrupt->deadlineNs.store(INT64_MAX);
}

int DecodeWorker::openDecoder(int threads) {
    const AVCodecParameters* par = format_->streams[shared_->facts.videoStream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    CodecContextPtr decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    int ret = decoder ? avcodec_parameters_to_context(decoder.get(), par) : AVERROR(ENOMEM);
    if (ret >= 0) {
        decoder->pkt_timebase = timeBase_;
        // The codec's threads are made here, on the worker, so they share its lower priority.
        decoder->thread_count = threads;
        decoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        AVDictionary* options = nullptr;
        av_dict_set_int(&options, "max_pixels", Movie::kMaxPicturePixels, 0);
        ret = avcodec_open2(decoder.get(), codec, &options);
        av_dict_free(&options);
    }
    if (ret < 0) return ret;
    decoder_ = std::move(decoder);
    decoderThreads_ = threads;
    applyDiscardLevel();  // a rebuilt decoder leaves out what the old one did
    return 0;
}

// A clip whose decoder cannot be opened is given up on, and says why.
bool DecodeWorker::openFirstDecoder() {
    const int ret = openDecoder(movieRegistry::decodeThreadsEach());
    if (ret >= 0) return true;
    MovieShared::post(shared_->posted.open, ret);
    shared_->counters.gaveUp.store(true);
    return false;
}

// The thread budget changed (clips were added or removed): the decoder takes its new share
// where decoding starts afresh from a key frame anyway, after the seek of a wrap, and only
// where that cannot show (see kBudgetSettleNs and loopRules::takeThreadShare). A decoder that
// cannot be opened with it keeps the old one, silently (it still plays), and that share is
// not tried again.
void DecodeWorker::followThreadBudget() {
    const int share = movieRegistry::decodeThreadsEach();
    if (share == refusedShare_ ||
        platform::hostTimeNow() - movieRegistry::threadBudgetSinceNs() < kBudgetSettleNs ||
        !loopRules::takeThreadShare(decoderThreads_, share, pool_.queued(), pool_.maxQueued()))
        return;
    CodecContextPtr previous = std::move(decoder_);
    if (openDecoder(share) >= 0) {
        shared_->counters.decoderRebuilds.fetch_add(1);
        return;
    }
    decoder_ = std::move(previous);
    refusedShare_ = share;
}

bool DecodeWorker::seekToStart() {
    const int stream = shared_->facts.videoStream;
    const AVStream* st = format_->streams[stream];
    int ret = -1;
    if (format_->iformat->flags & AVFMT_TS_DISCONT) {
        // Streams whose clock may wrap or jump (MPEG-TS, program streams) are found again by
        // their first byte, as players loop them: a seek by timestamp there lands wherever the
        // clock happened to read so.
        ret = avformat_seek_file(format_, -1, INT64_MIN, 0, 0, AVSEEK_FLAG_BYTE);
    } else {
        // Where the first pass began, as the decoder saw it.
        const int64_t start = timing_.originKnown()
                                  ? ticksOf(timing_.originNs(), timeBase_)
                                  : (st->start_time != AV_NOPTS_VALUE ? st->start_time : 0);
        ret = avformat_seek_file(format_, stream, INT64_MIN, start, start, 0);
        if (ret < 0) ret = av_seek_frame(format_, stream, start, AVSEEK_FLAG_BACKWARD);
    }
    if (ret >= 0) {
        avcodec_flush_buffers(decoder_.get());
        atStart_ = true;
        return true;
    }
    if (ret == AVERROR_EXIT) return false;  // stopping
    MovieShared::post(shared_->posted.seek, ret);
    return reopen();
}

// Some demuxers cannot seek (pipes of images, some broken files): open the file afresh.
bool DecodeWorker::reopen() {
    MovieProbe fresh;
    if (MovieProbe::openOnThisThread(path_, platform::hostTimeNow() + kReopenDeadlineNs,
                                     &stopRequested_, fresh, nullptr) < 0)
        return false;
    if (fresh.facts().videoStream != shared_->facts.videoStream ||
        fresh.facts().trackTypes.size() != shared_->facts.trackTypes.size())
        return false;
    const AVCodecParameters* par = fresh.videoParameters();
    if (par->codec_id != decoder_->codec_id) return false;
    shared_->counters.reopens.fetch_add(1);
    takeOver(fresh.takeDemuxer());
    avcodec_flush_buffers(decoder_.get());
    atStart_ = true;
    return true;
}

void DecodeWorker::applyDiscard() {
    for (int i = 0; i < shared_->trackCount(); ++i)
        format_->streams[i]->discard = shared_->trackOn(i) ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
}

}  // namespace loopstage::media
