#include "media/MovieRegistry.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "media/DecodeWorker.h"
#include "media/Movie.h"
#include "platform/HostTime.h"

namespace loopstage::media {
namespace {

// Movies belong to the main thread, but tools and tests open them on others too; the lock
// keeps the list whole for them.
std::mutex g_mutex;
std::vector<Movie*> g_movies;
std::vector<Movie*> g_decoding;  // the movies with a decode worker, a subset of g_movies
std::atomic<int> g_threadsEach{1};
std::atomic<int64_t> g_threadsSinceNs{0};

void updateBudgetLocked() {
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    const int decoders = std::max<int>(1, static_cast<int>(g_decoding.size()));
    // One thread more than the cores, as FFmpeg itself counts: with frame threads the worker
    // converts each picture while only the threads already handed a packet decode, and the
    // extra one keeps every core busy meanwhile (4K60 alone on two cores: 1.26 cores used and
    // a third of the machine idle with two threads).
    const int each = std::max(1, (cores + 1) / decoders);
    if (g_threadsEach.exchange(each) != each) g_threadsSinceNs.store(platform::hostTimeNow());
}

// Joins and frees disposed workers as each one's thread ends, in whatever order they end: a
// worker blocked in a read of a share that stopped answering (a read the interrupt callback
// cannot end, or a stat in a reopen) must not hold up the others, whose decoders and frames
// would otherwise stay. Lives until the program ends; then it frees what has ended and leaves
// the rest: a thread stuck in the kernel cannot be joined, and the process ending ends it.
class WorkerReaper {
public:
    static WorkerReaper& instance() {
        static WorkerReaper reaper;
        return reaper;
    }
    // False when no thread could be had for it: the caller frees the worker itself.
    bool take(std::unique_ptr<DecodeWorker>& worker) {
        std::lock_guard lock(mutex_);
        try {
            if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
            pending_.push_back(std::move(worker));
            ++notFreed_;
        } catch (const std::exception&) {
            return false;
        }
        wake_.notify_one();
        return true;
    }
    int notFreed() {
        std::lock_guard lock(mutex_);
        return notFreed_;
    }
    ~WorkerReaper() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

private:
    // How often workers that have not ended yet are looked at again; a stop normally ends a
    // worker within a picture, so most are freed on the first or second look.
    static constexpr auto kLookAgain = std::chrono::milliseconds(20);
    // What workers still stopping get when the program ends, before they are left behind.
    static constexpr auto kGraceAtExit = std::chrono::milliseconds(500);

    void run() {
        (void)pthread_setname_np(pthread_self(), "loopstage-reap");
        using Clock = std::chrono::steady_clock;
        Clock::time_point leaveBy = Clock::time_point::max();
        std::unique_lock lock(mutex_);
        for (;;) {
            if (pending_.empty())
                wake_.wait(lock, [this] { return closing_ || !pending_.empty(); });
            else
                wake_.wait_for(lock, kLookAgain);
            if (closing_ && leaveBy == Clock::time_point::max())
                leaveBy = Clock::now() + kGraceAtExit;
            std::vector<std::unique_ptr<DecodeWorker>> ended;
            for (auto it = pending_.begin(); it != pending_.end();) {
                if ((*it)->hasEnded()) {
                    ended.push_back(std::move(*it));
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
            if (const size_t n = ended.size()) {
                lock.unlock();
                ended.clear();  // joins threads that have ended and frees their decoders
                lock.lock();
                notFreed_ -= static_cast<int>(n);
            }
            if (closing_ && (pending_.empty() || Clock::now() >= leaveBy)) {
                // Left to the kernel: freeing them would free what their threads still use.
                for (auto& stuck : pending_) (void)stuck.release();
                pending_.clear();
                return;
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::list<std::unique_ptr<DecodeWorker>> pending_;  // guarded by mutex_
    int notFreed_ = 0;      // guarded by mutex_: taken, and not freed yet
    bool closing_ = false;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace

void movieRegistry::add(Movie* movie, bool decodes) {
    std::lock_guard lock(g_mutex);
    g_movies.reserve(g_movies.size() + 1);
    g_decoding.reserve(g_decoding.size() + 1);
    g_movies.push_back(movie);
    if (decodes) g_decoding.push_back(movie);
    updateBudgetLocked();
}

void movieRegistry::remove(Movie* movie) {
    std::lock_guard lock(g_mutex);
    g_movies.erase(std::remove(g_movies.begin(), g_movies.end(), movie), g_movies.end());
    g_decoding.erase(std::remove(g_decoding.begin(), g_decoding.end(), movie), g_decoding.end());
    updateBudgetLocked();
}

int movieRegistry::decodeThreadsEach() { return g_threadsEach.load(std::memory_order_relaxed); }
int64_t movieRegistry::threadBudgetSinceNs() { return g_threadsSinceNs.load(); }

void movieRegistry::reap(std::unique_ptr<DecodeWorker>& worker) {
    if (!WorkerReaper::instance().take(worker)) worker.reset();
}

int MovieEngine::workersBeingDisposed() { return WorkerReaper::instance().notFreed(); }

void MovieEngine::task() {
    std::lock_guard lock(g_mutex);
    for (Movie* movie : g_movies) movie->task();
}

int MovieEngine::openMovieCount() {
    std::lock_guard lock(g_mutex);
    return static_cast<int>(g_movies.size());
}

}  // namespace loopstage::media
