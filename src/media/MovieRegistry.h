#pragma once

#include <memory>

namespace loopstage::media {

class DecodeWorker;
class Movie;

// The movie engine's own: the open movies, so that the engine's task call reaches each of them;
// the one budget of decoding threads they share (the machine's cores divided among the movies
// that decode, so a clip that plays alone decodes on every core, and as clips are added each
// is down to one); and the thread that joins the workers of closed movies.
//
// Threads: add and remove from any thread, under one lock (movies add themselves when they
// open and remove themselves in their destructor; a movie's task() must not open or close
// movies). decodeThreadsEach() from any thread, without a lock.
namespace movieRegistry {
void add(Movie* movie, bool decodes);  // may throw std::bad_alloc; then the movie is not listed
void remove(Movie* movie);
// Codec threads each decoding movie may use now, and since when (host time) that has held.
int decodeThreadsEach();
int64_t threadBudgetSinceNs();
// Takes a worker that has been asked to stop, to be joined and freed on a thread kept for that
// (made on first use, joined when the program ends) once its own thread has returned; frees it
// at once where no thread can be had. Workers whose threads have not returned when the program
// ends are left to the process's end, never waited for.
void reap(std::unique_ptr<DecodeWorker>& worker);
}  // namespace movieRegistry

}  // namespace loopstage::media
