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
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

enum class JobKind { List, Look };

// One job done ahead of the walk, as this layer sees it: what it needs and what it yields. The
// read-ahead (src/read_ahead) keeps it in its order with more of its own.
struct ReadAheadJob : JobYield {
    JobKind kind = JobKind::Look;
    std::string path;  // a directory's ends in the separator
    int depth = 0;     // a directory's depth in the walk; its entries lie one deeper
    std::optional<std::uint64_t> parentVolume;  // of the directory that holds a directory
    // Of the directory the job's entry was listed in: a file is looked at only there, and a
    // directory read only if its ".." leads there, so that neither is read through a name
    // switched since to lead elsewhere (a directory swapped for a link out of the tree).
    std::optional<DirectoryIdentity> within;
};

// The seam through which the platform's calls for the walk's directories and files (the
// directory's identity and its listing; the version calls, the facts and the listing's time of a
// file) take what was done ahead of the walk. This layer declares it; the walk's read-ahead fills
// it while a walk is under way, so that nothing here depends on how the work is queued.
class WalkJobs {
  public:
    virtual ~WalkJobs() = default;
    // Where a file the walk asks for must be found (the directory the walk is listing), where
    // the platform knows it.
    using WithinOf = std::optional<DirectoryIdentity> (*)(std::string_view path);
    // The job for path done, held for the walk until it asks for another; null for a listing
    // nothing was queued for, which the caller makes itself. The walk's thread only.
    virtual ReadAheadJob* Ask(std::string_view path, JobKind kind, WithinOf withinOf) = 0;
#ifndef _WIN32
    // The walk has read a further piece of directory's entries (listing, at depth, of identity)
    // for itself: their jobs may be done ahead too.
    virtual void Listed(const std::string& directory, int depth, const DirectoryIdentity& identity,
                        const posix::DirectoryListing& piece) = 0;
#endif
};

// The walk's jobs while a walk is under way (set by the read-ahead), or null.
void SetWalkJobs(WalkJobs* jobs);
WalkJobs* ActiveWalkJobs();

// The walk's job for path, or null outside a walk.
inline ReadAheadJob* WalksJob(std::string_view path, JobKind kind,
                              WalkJobs::WithinOf withinOf = nullptr) {
    WalkJobs* jobs = ActiveWalkJobs();
    return jobs != nullptr ? jobs->Ask(path, kind, withinOf) : nullptr;
}

// Does job: a listing (on POSIX, its first piece, unless the directory is not where it was found
// or on a file system the walk will not enter) or a look. keepOpen: the walk asked for this
// listing, which keeps its directory open when the first piece did not reach the end.
void DoReadAheadJob(ReadAheadJob& job, Lookup lookup, WorkerState& state, const WalkRules& rules,
                    bool keepOpen);

// The processors this process may run on (on POSIX, as taskset or a container's cpuset allow), at
// least 1.
std::size_t ProcessorsAllowed();

// Runs start (which starts the threads) with every signal blocked, so that the threads take none:
// signals are for the walk's thread, which writes out the listing on SIGINT and SIGTERM.
void StartThreadsWithoutSignals(const std::function<void()>& start);

}  // namespace platform
