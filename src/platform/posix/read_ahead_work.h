// The read-ahead's work on POSIX systems: a listing job reads its directory's first piece
// (directory_listing.h), a look job makes the one look at a candidate (examined_file.h), each
// from memory only when asked, so that a warm cache is not crowded.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "platform/posix/directory_listing.h"
#include "platform/posix/version_resources/examined_file.h"

namespace platform {

// What a job yields.
struct JobYield {
    posix::DirectoryListing listing;
    posix::Examination examination;
    // A listing the walk asked for and had done in place, not read to its end: still open, for
    // the walk to read on from where it stopped.
    posix::DirectoryReader reader;

    std::size_t ResultBytes() const { return listing.entries.size() + examination.resource.size(); }
    // Asked to work from memory only, and the device was needed: to be done again.
    bool WouldWait() const { return listing.wouldWait || examination.wouldWait; }
    void Forget() {
        listing = {};
        examination = {};
        reader = {};
    }
};

// What a thread keeps from one job to the next.
struct WorkerState {
    posix::HeldDirectory directories;
};

// Threads may work from what the kernel holds in memory: only one for each spare processor
// does at a time, and a job that would wait gives its place up.
inline constexpr bool kWorkFromMemory = true;

}  // namespace platform
