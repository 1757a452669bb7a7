#include "walk/visited_directories.h"

#include <cstdint>
#include <limits>

namespace {

constexpr platform::DirectoryIdentity kFree{std::numeric_limits<std::uint64_t>::max(),
                                            std::numeric_limits<std::uint64_t>::max()};
constexpr std::size_t kFirstCapacity = 256;

// splitmix64's finaliser: inode numbers are dense, and the table needs their bits spread.
std::uint64_t Mix(std::uint64_t value) {
    value ^= value >> 30;
    value *= 0xbf58476d1ce4e5b9u;
    value ^= value >> 27;
    value *= 0x94d049bb133111ebu;
    return value ^ (value >> 31);
}

}  // namespace

std::size_t VisitedDirectories::SlotOf(const platform::DirectoryIdentity& identity) const {
    const std::size_t mask = slots.size() - 1;
    std::size_t slot = Mix(identity.index ^ Mix(identity.volume)) & mask;
    while (!(slots[slot] == kFree) && !(slots[slot] == identity)) {
        slot = (slot + 1) & mask;
    }
    return slot;
}

void VisitedDirectories::Grow() {
    std::vector<platform::DirectoryIdentity> old(slots.empty() ? kFirstCapacity : 2 * slots.size(),
                                                 kFree);
    old.swap(slots);
    for (const platform::DirectoryIdentity& identity : old) {
        if (!(identity == kFree)) {
            slots[SlotOf(identity)] = identity;
        }
    }
}

bool VisitedDirectories::Contains(const platform::DirectoryIdentity& identity) const {
    if (identity == kFree) {
        return holdsFreeMarker;
    }
    return !slots.empty() && slots[SlotOf(identity)] == identity;
}

bool VisitedDirectories::Insert(const platform::DirectoryIdentity& identity) {
    if (identity == kFree) {
        const bool fresh = !holdsFreeMarker;
        holdsFreeMarker = true;
        count += fresh ? 1 : 0;
        return fresh;
    }
    if (4 * (count + 1) > 3 * slots.size()) {
        Grow();
    }
    const std::size_t slot = SlotOf(identity);
    if (slots[slot] == identity) {
        return false;
    }
    slots[slot] = identity;
    ++count;
    return true;
}
