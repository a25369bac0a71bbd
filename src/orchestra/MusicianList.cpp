#include "orchestra/MusicianList.h"

#include "musician/Musician.h"

namespace loopstage::orchestra {

MusicianList::MusicianList() : current_(std::make_unique<Musicians>()) {}

MusicianList::~MusicianList() { clear(); }

MusicianList::Reading::Reading(const MusicianList& list)
    : lock_(list.readers_), musicians_(list.current_.get()) {}

std::size_t MusicianList::count() const { return current_->size(); }

musician::Musician* MusicianList::at(std::size_t index) const { return (*current_)[index]; }

void MusicianList::publish(std::unique_ptr<Musicians> next) {
    std::unique_ptr<Musicians> previous;
    std::lock_guard lock(readers_);
    previous = std::exchange(current_, std::move(next));
}

bool MusicianList::insert(std::size_t index, std::unique_ptr<musician::Musician> musician) {
    if (!musician || index > count() || count() >= kCapacity) return false;
    auto next = std::make_unique<Musicians>(*current_);
    next->insert(next->begin() + static_cast<std::ptrdiff_t>(index), musician.get());
    publish(std::move(next));
    musician.release();  // owned through the list from now on
    return true;
}

bool MusicianList::append(std::unique_ptr<musician::Musician> musician) {
    return insert(count(), std::move(musician));
}

std::unique_ptr<musician::Musician> MusicianList::take(std::size_t index) {
    if (index >= count()) return nullptr;
    auto next = std::make_unique<Musicians>(*current_);
    std::unique_ptr<musician::Musician> taken((*next)[index]);
    next->erase(next->begin() + static_cast<std::ptrdiff_t>(index));
    publish(std::move(next));
    return taken;
}

void MusicianList::clear() {
    auto next = std::make_unique<Musicians>();
    Musicians all = *current_;
    publish(std::move(next));
    for (musician::Musician* m : all) delete m;
}

}  // namespace loopstage::orchestra
