// The read-ahead's order: every job in the walk's order, which the threads begin first, what the
// walk has passed, and the bounds on what is held. No threads and no lock of its own: the queue
// (queue.h) calls it holding its lock.
//
// The jobs are kept in the walk's order in one list: a listing's entries go right after its
// directory, which is where the walk meets them, whatever the depth, so the threads always begin
// the queued job the walk will want first. A listing job reads its directory's first piece; the
// walk reads a larger directory's further pieces for itself, a piece ahead of the one it
// delivers, and hands each over (Listed), its entries' jobs going after those of the pieces
// before it. The first job of the list is the one the walk holds (its calls read it until the
// walk asks for another); the walk's asks come in the list's order, so everything before the job
// it asks for is what it has passed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "read_ahead/job.h"

namespace read_ahead {

// Jobs out of the order, for the caller to free (without the lock).
using Dropped = std::vector<Job*>;

class WalkOrder {
  public:
    explicit WalkOrder(const platform::WalkRules& rules);
    ~WalkOrder();  // frees every job still held; no thread may hold one
    WalkOrder(const WalkOrder&) = delete;
    WalkOrder& operator=(const WalkOrder&) = delete;

    Job* Find(std::string_view path) const;
    // A job the walk needs now (a directory it is about to list, or a file it asks for that no
    // listing queued): right after what it holds, not queued.
    Job* AddForTheWalk(JobKind kind, std::string_view path);
    // Drops everything before job in the walk's order: what the walk has passed.
    void DropBefore(Job& job, Dropped& dropped);

    // The queued job to begin next, or none: none queued, or results held back.
    Job* NextToBegin();
    Job* FirstQueued() const { return queued.First(); }
    bool HeldBack() const { return heldBack; }
    // Whether results held back were let go (the walk has taken half) since last asked.
    bool TakeReleased() { return std::exchange(released, false); }
    // Out of the queue, running.
    void Begin(Job& job);
    // Done: its result counted against the bound (a dropped one goes to dropped); a listing's
    // entries queued (if queueEntries) after it, within the bounds. How many jobs were queued.
    std::size_t Finish(Job& job, Dropped& dropped, bool queueEntries);

    // Where the jobs of a further piece of directory's entries go: after what the walk holds and
    // every job of the directory's own, before the rest of the walk (next in the order, and next
    // among the queued jobs).
    std::pair<Job*, Job*> AfterDirectory(const std::string& directory) const;
    // Queues the jobs for the entries of listing (anything with ForEachEntry(visit(kind, name)))
    // that the walk's rules will enter or examine, of directory at depth, of identity.
    template <typename Listing>
    std::size_t QueueEntries(const std::string& directory, int depth,
                             const platform::DirectoryIdentity& identity, const Listing& listing,
                             Job* next, Job* nextQueued);
    // Drops the last in the walk's order while more jobs or path bytes are held than allowed.
    void KeepWithinBounds(Dropped& dropped);

    // Every job in exactly one place and state, the counts and the bounds as they must be.
    // Checked in debug and test builds (NDEBUG unset); a no-op otherwise.
    void CheckInvariants() const;

  private:
    Job* Add(JobKind kind, std::string path, Job* before);
    Job* AfterWhatTheWalkHolds() const;
    bool QueueEntry(const std::string& directory, int depth,
                    const platform::DirectoryIdentity& identity, platform::EntryKind kind,
                    std::string_view name, Job* next, Job* nextQueued);
    void Drop(Job& job, Dropped& dropped);

    const platform::WalkRules rules;
    JobList order{&Job::inOrder};   // every job not dropped; the first is the walk's
    JobList queued{&Job::inQueue};  // the queued jobs
    std::unordered_map<std::string_view, Job*> byPath;  // each job by its own path
    std::size_t resultBytes = 0;                        // held by ready jobs
    std::size_t pathBytes = 0;                          // of every job not dropped
    bool heldBack = false;  // results reached their bound: none begins until half is taken
    bool released = false;  // heldBack let go, not yet told
    [[maybe_unused]] mutable std::size_t checks = 0;  // of the invariants, so far (debug builds)
};

template <typename Listing>
std::size_t WalkOrder::QueueEntries(const std::string& directory, int depth,
                                    const platform::DirectoryIdentity& identity,
                                    const Listing& listing, Job* next, Job* nextQueued) {
    std::size_t added = 0;
    listing.ForEachEntry([&](platform::EntryKind kind, std::string_view name) {
        added += QueueEntry(directory, depth, identity, kind, name, next, nextQueued) ? 1 : 0;
    });
    return added;
}

}  // namespace read_ahead
