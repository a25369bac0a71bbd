#pragma once

namespace loopstage::platform {

class Movie;

// The open movies, so that the engine's task call reaches each of them.
//
// Threads: any, under one lock. Movies add themselves when they open and remove themselves in
// their destructor; a movie's task() must not open or close movies.
namespace movieRegistry {
void add(Movie* movie);  // may throw std::bad_alloc; then the movie is not listed
void remove(Movie* movie);
}  // namespace movieRegistry

}  // namespace loopstage::platform
