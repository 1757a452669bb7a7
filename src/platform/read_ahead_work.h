// What each platform supplies to the read-ahead (src/read_ahead): what a job yields and what a
// thread keeps (each platform's own header), and the work itself, declared here for both: listing
// a directory and looking at a candidate. The queue, its order and its threads are the same for
// both builds.
#pragma once

#ifdef _WIN32
#include "platform/windows/read_ahead_work.h"
#else
#include "platform/posix/read_ahead_work.h"
#endif

#include <cstddef>
#include <functional>

namespace read_ahead {
struct Job;
}

namespace platform {

// Does job: a listing (on POSIX, its first piece, unless the directory is not where it was found
// or on a file system the walk will not enter) or a look. keepOpen: the walk asked for this
// listing, which keeps its directory open when the first piece did not reach the end.
void DoReadAheadJob(read_ahead::Job& job, Lookup lookup, WorkerState& state, const WalkRules& rules,
                    bool keepOpen);

// The processors this process may run on (on POSIX, as taskset or a container's cpuset allow), at
// least 1.
std::size_t ProcessorsAllowed();

// Runs start (which starts the threads) with every signal blocked, so that the threads take none:
// signals are for the walk's thread, which writes out the listing on SIGINT and SIGTERM.
void StartThreadsWithoutSignals(const std::function<void()>& start);

}  // namespace platform
