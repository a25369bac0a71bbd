#pragma once

namespace loopstage::platform {

class Movie;

// The open movies, so that the engine's task call reaches each of them, and the one budget of
// decoding threads they share: the machine's cores divided among the movies that decode, so a
// clip that plays alone decodes on every core, and as clips are added each is down to one.
//
// Threads: add and remove from any thread, under one lock (movies add themselves when they
// open and remove themselves in their destructor; a movie's task() must not open or close
// movies). decodeThreadsEach() from any thread, without a lock.
namespace movieRegistry {
void add(Movie* movie, bool decodes);  // may throw std::bad_alloc; then the movie is not listed
void remove(Movie* movie);
// Codec threads each decoding movie may use now.
int decodeThreadsEach();
}  // namespace movieRegistry

}  // namespace loopstage::platform
