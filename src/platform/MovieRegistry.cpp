#include "platform/MovieRegistry.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/Movie.h"

namespace loopstage::platform {
namespace {

// Movies belong to the main thread, but tools and tests open them on others too; the lock
// keeps the list whole for them.
std::mutex g_mutex;
std::vector<Movie*> g_movies;

}  // namespace

void movieRegistry::add(Movie* movie) {
    std::lock_guard lock(g_mutex);
    g_movies.push_back(movie);
}

void movieRegistry::remove(Movie* movie) {
    std::lock_guard lock(g_mutex);
    g_movies.erase(std::remove(g_movies.begin(), g_movies.end(), movie), g_movies.end());
}

void MovieEngine::task() {
    std::lock_guard lock(g_mutex);
    for (Movie* movie : g_movies) movie->task();
}

int MovieEngine::openMovieCount() {
    std::lock_guard lock(g_mutex);
    return static_cast<int>(g_movies.size());
}

}  // namespace loopstage::platform
