// The read-ahead: a queue of the work the walk will ask for, in the walk's order, that a pool of
// threads does before the walk gets there, so that on a cold disk or a share many requests are
// in flight at once and on a warm cache the work shares the processors.
//
// The walk owns it (platform::ReadAhead, one per walk) and hands it its rules. Two kinds of job:
// listing a directory, and the one look at a candidate file. A directory the walk is about to
// list, it says so (Entering); every listing done, by a thread or by the walk, then queues the
// jobs for its entries that the walk's rules will enter or examine (candidates only), in the
// walk's order, right after the directory's own job. The platform's calls for the walk's
// directories and files (GetDirectoryIdentity and FindFirstFileA; GetFileVersionInfoSizeA,
// GetFileVersionInfoA and the listing's time) ask the queue for the job of their path and take
// what it yields. What a job needs and yields travels in the job.
//
// A job's life, each change made holding the queue's lock:
//
//      Entering, or a listing done
//                 │
//                 ▼
//            ┌────────┐ a thread begins it ┌─────────┐   done   ┌───────┐ the walk ┌──────┐
//            │ queued │ ─────────────────▶ │ running │ ───────▶ │ ready │ ───────▶ │ held │
//            └────────┘   (or the walk,    └─────────┘          └───────┘   asks   └──────┘
//                 │        asking first)        │ the walk asks: it does    │          │
//                 │                             │ queued jobs meanwhile,    │          │
//                 │                             │ then waits               │          │
//                 ▼                             ▼                           ▼          ▼
//            ┌───────────────────────────────────────────────────────────────────────────┐
//            │ dropped: the walk asked for a job after it, or it was the last in the     │
//            │ walk's order when the queue was full (a running one is freed when done)   │
//            └───────────────────────────────────────────────────────────────────────────┘
//
// The jobs are kept in the walk's order in one list: a listing's entries go right after its
// directory, which is where the walk meets them, whatever the depth, so the threads always begin
// the queued job the walk will want first. A listing job reads its directory's first piece (see
// directory_listing.h); the walk reads a larger directory's further pieces for itself, a piece
// ahead of the one it delivers, and hands each over (Listed), its entries' jobs going after
// those of the pieces before it. The first job of the
// list is the one the walk holds (its calls read it until the walk asks for another); the walk's
// asks come in the list's order, so everything before the job it asks for is what it has passed.
//
// How many threads work at once, by one rule: sixteen threads, of which at most one for each
// processor beside the walk's (at least one) may do a job from what the kernel holds in memory.
// A thread begins a job only with one of those places, and asks the kernel to serve it from
// memory only (the paths from its caches, RESOLVE_CACHED; the bytes from the page cache,
// RWF_NOWAIT). A job that would wait for the device, or whose file system cannot tell, gives its
// place up and is done again by the same thread waiting for the device. So on a warm cache the
// work is shared by as many threads as there are processors, and on a cold disk or a share up to
// sixteen requests are in flight.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/directory_listing.h"
#include "platform/posix/version_resources/examined_file.h"

namespace platform::posix {

enum class JobKind { List, Look };
enum class JobState { Queued, Running, Ready };

struct Job;
struct JobLinks {
    Job* previous = nullptr;
    Job* next = nullptr;
};

struct Job {
    // What the job needs.
    JobKind kind = JobKind::Look;
    std::string path;  // a directory's ends in the separator
    int depth = 0;     // a directory's depth in the walk; its entries lie one deeper
    std::optional<std::uint64_t> parentVolume;  // of the directory that holds a directory
    // Of the directory the job's entry was listed in: a file is looked at only there, and a
    // directory read only if its ".." leads there, so that neither is read through a name
    // switched since to lead elsewhere (a directory swapped for a link out of the tree).
    std::optional<DirectoryIdentity> within;
    // Where it stands.
    JobState state = JobState::Queued;
    bool dropped = false;         // dropped while running: freed by its thread when done
    std::size_t resultBytes = 0;  // of its result, as counted against the bound when done
    // What it yields: a listing, or a look.
    DirectoryListing listing;
    Examination examination;
    // A listing the walk asked for and had done in place, not read to its end: still open, for
    // the walk to read on from where it stopped.
    DirectoryReader reader;
    // Its places in the walk's order: among all the jobs, and among the queued ones.
    JobLinks inOrder;
    JobLinks inQueue;
};

// Jobs linked through one pair of their links.
class JobList {
  public:
    explicit JobList(JobLinks Job::*links) : links(links) {}
    Job* First() const { return first; }
    Job* Last() const { return last; }
    Job* Next(const Job& job) const { return (job.*links).next; }
    std::size_t Size() const { return size; }
    bool Holds(const Job& job) const { return (job.*links).previous != nullptr || first == &job; }
    // Before next, or at the end when next is null.
    void InsertBefore(Job* next, Job& job);
    void Remove(Job& job);

  private:
    JobLinks Job::*links;
    Job* first = nullptr;
    Job* last = nullptr;
    std::size_t size = 0;
};

class ReadAheadQueue {
  public:
    ReadAheadQueue(const WalkRules& rules, std::size_t threads);
    ~ReadAheadQueue();
    ReadAheadQueue(const ReadAheadQueue&) = delete;
    ReadAheadQueue& operator=(const ReadAheadQueue&) = delete;

    // The queue of the walk under way, or null.
    static ReadAheadQueue* Active();

    // The walk is about to list directory; see platform::ReadAhead.
    void Entering(std::string_view directory, int depth, std::optional<std::uint64_t> parentVolume);
    // The job for path done, held for the walk until it asks for another: everything before it
    // in the walk's order is dropped. A look that was not queued is made now; a listing that was
    // not queued (no Entering for it) is null, for the caller to make. The walk's thread only.
    Job* Ask(std::string_view path, JobKind kind);
    // The walk has read a further piece of entries of directory (at depth, of identity) for
    // itself: their jobs are queued after what the walk holds and the jobs of the directory's
    // earlier pieces.
    void Listed(const std::string& directory, int depth, const DirectoryIdentity& identity,
                const std::string& entries);

  private:
    using Dropped = std::vector<Job*>;
    Job* AddJob(JobKind kind, std::string path, Job* before);
    Job* AfterWhatTheWalkHolds() const;
    // asked: the job is the one the walk asked for, not one done while it waits.
    void DoInPlace(Job& job, std::unique_lock<std::mutex>& hold, Dropped& dropped, bool asked);
    void Work();
    Job* NextToBegin();
    // directories: the calling thread's own; keepOpen: for a listing the walk asked for.
    void Do(Job& job, Lookup lookup, HeldDirectory& directories, bool keepOpen) const;
    void Finish(Job& job, Dropped& dropped);
    void QueueEntriesOf(Job& directory);
    // The jobs for entries of directory, before next in the walk's order and before
    // nextQueued among the queued jobs.
    void QueueEntries(const std::string& directory, int depth, const DirectoryIdentity& identity,
                      const std::string& entries, Job* next, Job* nextQueued);
    void WakeReaders(std::size_t jobs);
    void Drop(Job& job, Dropped& dropped);
    void DropBefore(Job& job, Dropped& dropped);
    void KeepWithinBounds(Dropped& dropped);
    static void Free(Dropped& dropped, std::unique_lock<std::mutex>& hold);

    const WalkRules rules;
    // Of the threads, how many may do jobs from memory at once: one for each processor beside
    // the walk's (at least one). A job that would wait for the device gives its place up.
    const std::size_t places;
    std::mutex lock;
    std::condition_variable readerWake;  // for the threads: a job to begin, or the end
    std::condition_variable walkWake;    // for the walk: the job it waits for is done
    JobList order{&Job::inOrder};        // every job not dropped; the first is the walk's
    JobList queued{&Job::inQueue};       // the queued jobs
    std::unordered_map<std::string_view, Job*> byPath;  // each job by its own path
    std::size_t placesTaken = 0;                        // threads doing a job from memory
    std::size_t resultBytes = 0;                        // held by ready jobs
    std::size_t pathBytes = 0;                          // of every job not dropped
    std::size_t sleeping = 0;                           // threads waiting for work
    bool heldBack = false;         // results reached their bound: none begins until half is taken
    const Job* awaited = nullptr;  // the running job the walk waits for
    HeldDirectory walkHolds;       // the directory of the walk's own looks (each thread has one)
    bool stopping = false;
    std::vector<std::thread> threads;
};

// How many threads read ahead; see read_ahead_threads.cpp.
std::size_t ReadAheadThreads();

}  // namespace platform::posix
