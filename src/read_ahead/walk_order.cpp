#include "read_ahead/walk_order.h"

#include <cassert>

#include "platform/candidates.h"

namespace read_ahead {

namespace {

// Bounds on what the queue holds, whatever the tree: jobs alive and the bytes of their paths (the
// last in the walk's order are dropped beyond them), and the bytes of the results held (beyond
// them no job begins until the walk has taken half).
constexpr std::size_t kMostJobs = 4096;
constexpr std::size_t kMostPathBytes = 4u << 20;
constexpr std::size_t kMostResultBytes = 8u << 20;

}  // namespace

void JobList::InsertBefore(Job* next, Job& job) {
    JobLinks& links = job.*(this->links);
    links.next = next;
    links.previous = next != nullptr ? (next->*(this->links)).previous : last;
    (links.previous != nullptr ? (links.previous->*(this->links)).next : first) = &job;
    (next != nullptr ? (next->*(this->links)).previous : last) = &job;
    ++size;
}

void JobList::Remove(Job& job) {
    JobLinks& links = job.*(this->links);
    (links.previous != nullptr ? (links.previous->*(this->links)).next : first) = links.next;
    (links.next != nullptr ? (links.next->*(this->links)).previous : last) = links.previous;
    links = JobLinks{};
    --size;
}

WalkOrder::WalkOrder(const platform::WalkRules& rules) : rules(rules) {
    byPath.reserve(2 * kMostJobs);
}

WalkOrder::~WalkOrder() {
    while (Job* job = order.First()) {
        order.Remove(*job);
        delete job;
    }
}

Job* WalkOrder::Find(std::string_view path) const {
    const auto found = byPath.find(path);
    return found != byPath.end() ? found->second : nullptr;
}

Job* WalkOrder::Add(JobKind kind, std::string path, Job* before) {
    auto* job = new Job;
    job->kind = kind;
    job->path = std::move(path);
    order.InsertBefore(before, *job);
    byPath.emplace(job->path, job);
    pathBytes += job->path.size();
    return job;
}

Job* WalkOrder::AfterWhatTheWalkHolds() const {
    return order.First() != nullptr ? order.Next(*order.First()) : nullptr;
}

Job* WalkOrder::AddForTheWalk(JobKind kind, std::string_view path) {
    return Add(kind, std::string(path), AfterWhatTheWalkHolds());
}

void WalkOrder::DropBefore(Job& job, Dropped& dropped) {
    while (order.First() != &job) {
        Drop(*order.First(), dropped);
    }
}

Job* WalkOrder::NextToBegin() {
    if (heldBack || queued.First() == nullptr) {
        return nullptr;
    }
    if (resultBytes >= kMostResultBytes) {
        heldBack = true;
        return nullptr;
    }
    return queued.First();
}

void WalkOrder::Begin(Job& job) {
    if (queued.Holds(job)) {
        queued.Remove(job);
    }
    job.state = JobState::Running;
}

std::size_t WalkOrder::Finish(Job& job, Dropped& dropped, bool queueEntries) {
    job.state = JobState::Ready;
    if (job.dropped) {
        dropped.push_back(&job);
        return 0;
    }
    job.resultBytes = job.ResultBytes();
    resultBytes += job.resultBytes;
    if (job.kind != JobKind::List || !queueEntries) {
        return 0;
    }
    // Before the queued job the walk reaches next after this directory and all it holds.
    Job* nextQueued = order.Next(job);
    while (nextQueued != nullptr && !queued.Holds(*nextQueued)) {
        nextQueued = order.Next(*nextQueued);
    }
    const std::size_t added = QueueEntries(job.path, job.depth, job.listing.identity, job.listing,
                                           order.Next(job), nextQueued);
    KeepWithinBounds(dropped);
    return added;
}

std::pair<Job*, Job*> WalkOrder::AfterDirectory(const std::string& directory) const {
    Job* next = AfterWhatTheWalkHolds();
    while (next != nullptr && next->path.starts_with(directory)) {
        next = order.Next(*next);
    }
    Job* nextQueued = next;
    while (nextQueued != nullptr && !queued.Holds(*nextQueued)) {
        nextQueued = order.Next(*nextQueued);
    }
    return {next, nextQueued};
}

bool WalkOrder::QueueEntry(const std::string& directory, int depth,
                           const platform::DirectoryIdentity& identity, platform::EntryKind kind,
                           std::string_view name, Job* next, Job* nextQueued) {
    const platform::WalkEntry entry{kind, name, depth + 1, directory.size() + name.size()};
    const platform::WalkStep step = rules.decide(entry);
    const bool look = step == platform::WalkStep::Examine && platform::IsCandidate(name);
    if (!look && step != platform::WalkStep::Enter) {
        return false;
    }
    std::string path = std::string(directory).append(name);
    if (step == platform::WalkStep::Enter) {
        path.push_back(platform::kPathSeparator);
    }
    if (byPath.count(path) != 0) {
        return false;
    }
    Job* job = Add(look ? JobKind::Look : JobKind::List, std::move(path), next);
    job->depth = entry.depth;
    job->parentVolume = identity.volume;
    job->within = identity;
    queued.InsertBefore(nextQueued, *job);
    return true;
}

void WalkOrder::Drop(Job& job, Dropped& dropped) {
    order.Remove(job);
    if (queued.Holds(job)) {
        queued.Remove(job);
    }
    byPath.erase(job.path);
    pathBytes -= job.path.size();
    if (job.state == JobState::Ready) {
        resultBytes -= job.resultBytes;
        // Threads held back go on once the walk has taken half of what they made.
        if (heldBack && resultBytes <= kMostResultBytes / 2) {
            heldBack = false;
            released = true;
        }
    }
    if (job.state == JobState::Running) {
        job.dropped = true;  // its thread frees it when done
        return;
    }
    dropped.push_back(&job);
}

void WalkOrder::KeepWithinBounds(Dropped& dropped) {
    // The first job is the walk's: never dropped from here.
    while ((order.Size() > kMostJobs || pathBytes > kMostPathBytes) &&
           order.Last() != order.First()) {
        Drop(*order.Last(), dropped);
    }
}

void WalkOrder::CheckInvariants() const {
#if !defined(NDEBUG)
    // The counts every time; the walk through every job (up to 4,096 of them) one time in 64,
    // so that the debug builds' tests over trees of tens of thousands of files stay quick.
    assert(byPath.size() == order.Size());
    assert(queued.Size() <= order.Size());
    if (++checks % 64 != 0) {
        return;
    }
    std::size_t queuedSeen = 0;
    std::size_t paths = 0;
    std::size_t results = 0;
    for (const Job* job = order.First(); job != nullptr; job = order.Next(*job)) {
        // In exactly one state: nothing dropped still in the order, only queued ones in the
        // queue (a job added for the walk is queued for it alone, outside the queue).
        assert(!job->dropped);
        assert(!queued.Holds(*job) || job->state == JobState::Queued);
        assert(Find(job->path) == job);
        queuedSeen += queued.Holds(*job) ? 1 : 0;
        paths += job->path.size();
        results += job->state == JobState::Ready ? job->resultBytes : 0;
    }
    // The queue holds nothing the order does not, in the order's own order.
    const Job* inOrder = order.First();
    for (const Job* job = queued.First(); job != nullptr; job = queued.Next(*job)) {
        while (inOrder != nullptr && inOrder != job) {
            inOrder = order.Next(*inOrder);
        }
        assert(inOrder == job);
    }
    assert(queuedSeen == queued.Size());
    assert(byPath.size() == order.Size());
    assert(paths == pathBytes);
    assert(results == resultBytes);
    // The bounds, but for the one job the walk may have added since they were last kept (a path
    // is at most 32 KiB and a name).
    assert(order.Size() <= kMostJobs + 1);
    assert(pathBytes <= kMostPathBytes + (36u << 10));
#endif
}

}  // namespace read_ahead
