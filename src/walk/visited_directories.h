// The set of directories a walk has entered, by identity: an open-addressing table of 16-byte
// slots kept at most three quarters full, so that it costs under 64 bytes a directory even while
// it grows.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/platform.h"

class VisitedDirectories {
  public:
    // False when identity was in the set already.
    bool Insert(const platform::DirectoryIdentity& identity);
    bool Contains(const platform::DirectoryIdentity& identity) const;
    std::size_t Count() const { return count; }

  private:
    std::size_t SlotOf(const platform::DirectoryIdentity& identity) const;
    void Grow();

    std::vector<platform::DirectoryIdentity> slots;  // kFree marks a free slot
    std::size_t count = 0;
    bool holdsFreeMarker = false;  // the one identity that looks like a free slot
};
