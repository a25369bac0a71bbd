#include "media/MovieRegistry.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
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
    const int each = std::max(1, cores / decoders);
    if (g_threadsEach.exchange(each) != each) g_threadsSinceNs.store(platform::hostTimeNow());
}

// Joins and frees disposed workers one after the other; lives until the program ends.
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
            queue_.push_back(std::move(worker));
        } catch (const std::exception&) {
            return false;
        }
        wake_.notify_one();
        return true;
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
    void run() {
        (void)pthread_setname_np(pthread_self(), "loopstage-reap");
        for (;;) {
            std::unique_ptr<DecodeWorker> worker;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
                if (queue_.empty()) return;
                worker = std::move(queue_.front());
                queue_.pop_front();
            }
            worker.reset();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::unique_ptr<DecodeWorker>> queue_;  // guarded by mutex_
    bool closing_ = false;                             // guarded by mutex_
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

void MovieEngine::task() {
    std::lock_guard lock(g_mutex);
    for (Movie* movie : g_movies) movie->task();
}

int MovieEngine::openMovieCount() {
    std::lock_guard lock(g_mutex);
    return static_cast<int>(g_movies.size());
}

}  // namespace loopstage::media
