#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace loopstage::musician {
class Musician;
}

namespace loopstage::orchestra {

// The ordered list of musicians, owned here.
//
// Threads: changes (insert, append, take, clear) and the destructor run on the main thread,
// which may also read count() and at() at any time. The render tick reads through a Reading:
// it holds the tick's read lock and the list as it stood when the tick began, which no change
// touches: a change publishes a new list and then waits for the tick in progress (at most one)
// before it frees the old list or hands a removed musician back, so a tick never sees a
// half-changed list nor a musician destroyed under it. A tick neither allocates nor waits for
// anything but that lock, which a change holds for no more than a moment. A change must not be
// made while the view's lock is held (a tick takes it inside its reading).
class MusicianList {
public:
    static constexpr std::size_t kCapacity = 16384;

    MusicianList();
    MusicianList(const MusicianList&) = delete;
    MusicianList& operator=(const MusicianList&) = delete;
    ~MusicianList();

    class Reading {
    public:
        const std::vector<musician::Musician*>& musicians() const { return *musicians_; }

    private:
        friend class MusicianList;
        explicit Reading(const MusicianList& list);
        std::unique_lock<std::mutex> lock_;
        const std::vector<musician::Musician*>* musicians_;
    };
    // For the render tick: hold it for the whole tick, takes and drawing.
    Reading read() const { return Reading(*this); }

    std::size_t count() const;
    // Main thread: the list as it stands.
    const std::vector<musician::Musician*>& musicians() const { return *current_; }
    // Valid for index < count().
    musician::Musician* at(std::size_t index) const;
    // Takes ownership and puts the musician at `index` (count() appends); false (and the
    // musician destroyed) when the list is full, the index is past the end, or it is null.
    bool insert(std::size_t index, std::unique_ptr<musician::Musician> musician);
    bool append(std::unique_ptr<musician::Musician> musician);
    // Takes the musician at `index` out; no tick uses it any more when this returns.
    std::unique_ptr<musician::Musician> take(std::size_t index);
    // Destroys every musician in list order and empties the list.
    void clear();

private:
    using Musicians = std::vector<musician::Musician*>;
    void publish(std::unique_ptr<Musicians> next);

    mutable std::mutex readers_;
    // Replaced only while readers_ is held, so a reading sees one list throughout.
    std::unique_ptr<Musicians> current_;
};

}  // namespace loopstage::orchestra
