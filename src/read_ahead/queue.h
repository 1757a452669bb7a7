// The read-ahead: the queue of the work the walk will ask for, which a pool of threads does
// before the walk gets there, so that on a cold disk or a share many requests are in flight at
// once and on a warm cache the work shares the processors. Both builds use it; each platform
// supplies only the work itself (platform/read_ahead_work.h): how a directory is listed and how a
// candidate is looked at.
//
// The walk owns it (platform::ReadAhead, one per walk) and hands it its rules. Two kinds of job:
// listing a directory, and the one look at a candidate file. A directory the walk is about to
// list, it says so (Entering); every listing done, by a thread or by the walk, then queues the
// jobs for its entries that the walk's rules will enter or examine (candidates only), in the
// walk's order (walk_order.h). The job's life is drawn in job.h.
//
// The seam, the same on both builds: the platform's calls for the walk's directories and files
// (GetDirectoryIdentity and FindFirstFileA; GetFileVersionInfoSizeA, GetFileVersionInfoA and
// the listing's time) ask the platform's WalkJobs for the job of their path (platform::WalksJob),
// and the queue of the walk under way is that. What a job needs and yields travels in the job.
//
// How many threads work at once, by one rule: sixteen threads. Where the platform can work from
// memory (POSIX), at most one for each processor beside the walk's (at least one) may do a job
// from what the kernel holds in memory; a thread begins a job only with one of those places, and
// a job that would wait for the device gives its place up and is done again by the same thread,
// waiting. So on a warm cache the work is shared by as many threads as there are processors, and
// on a cold disk or a share up to sixteen requests are in flight. Where it cannot (Windows),
// every thread has a place.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "read_ahead/job.h"
#include "read_ahead/walk_order.h"

namespace read_ahead {

class Queue : public platform::WalkJobs {
  public:
    Queue(const platform::WalkRules& rules, std::size_t threads);
    ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // The walk is about to list directory; see platform::ReadAhead.
    void Entering(std::string_view directory, int depth, std::optional<std::uint64_t> parentVolume);
    // The job for path done, held for the walk until it asks for another: everything before it
    // in the walk's order is dropped. A look that was not queued is made now, in withinOf's
    // directory (asked only then); a listing that was not queued (no Entering for it) is null,
    // for the caller to make. The walk's thread only.
    Job* Ask(std::string_view path, JobKind kind, WithinOf withinOf = nullptr) override;
#ifndef _WIN32
    // The walk has read a further piece of directory's entries (piece, at depth, of identity)
    // for itself: their jobs are queued after what the walk holds and the jobs of the directory's
    // earlier pieces.
    void Listed(const std::string& directory, int depth,
                const platform::DirectoryIdentity& identity,
                const platform::posix::DirectoryListing& piece) override;
#endif

  private:
    void DoInPlace(Job& job, std::unique_lock<std::mutex>& hold, Dropped& dropped, bool asked);
    void Work();
    void Finish(Job& job, Dropped& dropped);
    // After the order changed (queuedJobs queued): the threads woken that can begin something.
    void Changed(std::size_t queuedJobs);
    void WakeReaders(std::size_t jobs);
    static void Free(Dropped& dropped, std::unique_lock<std::mutex>& hold);

    const platform::WalkRules rules;
    // Of the threads, how many may work at once (see above).
    const std::size_t places;
    std::mutex lock;
    std::condition_variable readerWake;  // for the threads: a job to begin, or the end
    std::condition_variable walkWake;    // for the walk: the job it waits for is done
    WalkOrder order;
    std::size_t placesTaken = 0;      // threads doing a job with a place
    std::size_t sleeping = 0;         // threads waiting for work
    const Job* awaited = nullptr;     // the running job the walk waits for
    platform::WorkerState walkState;  // what the walk's own work keeps from job to job
    bool stopping = false;
    std::vector<std::thread> threads;
};

// How many threads read ahead; see thread_count.cpp.
std::size_t ThreadCount();

}  // namespace read_ahead
