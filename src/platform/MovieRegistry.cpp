#include "platform/MovieRegistry.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Movie.h"

namespace loopstage::platform {
namespace {

// Movies belong to the main thread, but tools and tests open them on others too; the lock
// keeps the list whole for them.
std::mutex g_mutex;
std::vector<Movie*> g_movies;
std::vector<Movie*> g_decoding;  // the movies with a decode worker, a subset of g_movies
std::atomic<int> g_threadsEach{1};

void updateBudgetLocked() {
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    const int decoders = std::max<int>(1, static_cast<int>(g_decoding.size()));
    g_threadsEach.store(std::max(1, cores / decoders));
}

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

void MovieEngine::task() {
    std::lock_guard lock(g_mutex);
    for (Movie* movie : g_movies) movie->task();
}

int MovieEngine::openMovieCount() {
    std::lock_guard lock(g_mutex);
    return static_cast<int>(g_movies.size());
}

}  // namespace loopstage::platform
