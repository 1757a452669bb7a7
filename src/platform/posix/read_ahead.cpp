#include "platform/posix/read_ahead.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <system_error>

#include "platform/candidates.h"

namespace platform::posix {

namespace {

// Bounds on what the queue holds, whatever the tree: jobs alive and the bytes of their paths (the
// last in the walk's order are dropped beyond them), and the bytes of the results held (beyond
// them no job begins until the walk has taken half).
constexpr std::size_t kMostJobs = 4096;
constexpr std::size_t kMostPathBytes = 4u << 20;
constexpr std::size_t kMostResultBytes = 8u << 20;

std::atomic<ReadAheadQueue*> active{nullptr};

std::size_t ResultBytes(const Job& job) {
    return job.listing.entries.size() + job.examination.resource.size();
}

bool WouldWait(const Job& job) {
    return job.listing.wouldWait || job.examination.wouldWait;
}

// The processors this process may run on (as taskset or a container's cpuset allow), at least 1.
std::size_t ProcessorsAllowed() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        return static_cast<std::size_t>(std::max(CPU_COUNT(&allowed), 1));
    }
    return std::max(std::thread::hardware_concurrency(), 1u);
}

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

ReadAheadQueue::ReadAheadQueue(const WalkRules& rules, std::size_t threadCount)
    : rules(rules), places(std::max<std::size_t>(ProcessorsAllowed() - 1, 1)) {
    byPath.reserve(2 * kMostJobs);
    // Signals are for the walk's thread, which writes out the listing on SIGINT and SIGTERM.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        for (std::size_t index = 0; index < threadCount; ++index) {
            threads.emplace_back([this] { Work(); });
        }
    } catch (const std::system_error&) {
        // Fewer threads, or none: what no thread begins, the walk does in place.
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    active.store(this);
}

ReadAheadQueue::~ReadAheadQueue() {
    active.store(nullptr);
    {
        const std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    readerWake.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
    while (Job* job = order.First()) {
        order.Remove(*job);
        delete job;
    }
}

ReadAheadQueue* ReadAheadQueue::Active() {
    return active.load();
}

Job* ReadAheadQueue::AddJob(JobKind kind, std::string path, Job* before) {
    auto* job = new Job;
    job->kind = kind;
    job->path = std::move(path);
    order.InsertBefore(before, *job);
    byPath.emplace(job->path, job);
    pathBytes += job->path.size();
    return job;
}

Job* ReadAheadQueue::AfterWhatTheWalkHolds() const {
    return order.First() != nullptr ? order.Next(*order.First()) : nullptr;
}

void ReadAheadQueue::Entering(std::string_view directory, int depth,
                              std::optional<std::uint64_t> parentVolume) {
    const std::unique_lock<std::mutex> hold(lock);
    if (byPath.count(directory) != 0) {
        return;  // listed ahead, or being listed
    }
    Job* job = AddJob(JobKind::List, std::string(directory), AfterWhatTheWalkHolds());
    job->depth = depth;
    job->parentVolume = parentVolume;
}

Job* ReadAheadQueue::Ask(std::string_view path, JobKind kind) {
    std::unique_lock<std::mutex> hold(lock);
    Dropped dropped;
    const auto found = byPath.find(path);
    Job* job = found != byPath.end() ? found->second : nullptr;
    if (job == nullptr && kind == JobKind::List) {
        return nullptr;
    }
    if (job == nullptr) {
        job = AddJob(kind, std::string(path), AfterWhatTheWalkHolds());
        job->within = DirectoryBeingListed(path.substr(0, path.rfind(kPathSeparator) + 1));
    }
    DropBefore(*job, dropped);
    // Being done by a thread: rather than sleep until it is, the walk does the jobs next in line,
    // which it will want soon too.
    while (job->state == JobState::Running) {
        Job* next = queued.First();
        if (next == nullptr) {
            awaited = job;
            walkWake.wait(hold, [job] { return job->state == JobState::Ready; });
            awaited = nullptr;
            break;
        }
        DoInPlace(*next, hold, dropped, false);
    }
    // Not begun: quicker done here than waited for.
    if (job->state == JobState::Queued) {
        DoInPlace(*job, hold, dropped, true);
    }
    Free(dropped, hold);
    return job->kind == kind ? job : nullptr;
}

void ReadAheadQueue::DoInPlace(Job& job, std::unique_lock<std::mutex>& hold, Dropped& dropped,
                               bool asked) {
    if (queued.Holds(job)) {
        queued.Remove(job);
    }
    job.state = JobState::Running;
    hold.unlock();
    Do(job, Lookup::MayWait, walkHolds, asked);
    hold.lock();
    Finish(job, dropped);
}

void ReadAheadQueue::Work() {
    std::unique_lock<std::mutex> hold(lock);
    Dropped dropped;
    HeldDirectory directories;
    while (!stopping) {
        Job* job = placesTaken < places ? NextToBegin() : nullptr;
        if (job == nullptr) {
            ++sleeping;
            readerWake.wait(hold);
            --sleeping;
            continue;
        }
        queued.Remove(*job);
        job->state = JobState::Running;
        ++placesTaken;
        hold.unlock();
        Do(*job, Lookup::FromMemory, directories, false);
        const bool wait = WouldWait(*job);
        hold.lock();
        --placesTaken;
        if (wait && !job->dropped) {
            // The device's to answer (unless the walk has passed the job meanwhile): this thread
            // waits for it without a place, and another takes the place to begin the next job.
            WakeReaders(1);
            hold.unlock();
            job->listing = DirectoryListing{};
            job->examination = Examination{};
            Do(*job, Lookup::MayWait, directories, false);
            hold.lock();
        }
        Finish(*job, dropped);
        Free(dropped, hold);
    }
}

Job* ReadAheadQueue::NextToBegin() {
    if (heldBack || queued.First() == nullptr) {
        return nullptr;
    }
    if (resultBytes >= kMostResultBytes) {
        heldBack = true;
        return nullptr;
    }
    return queued.First();
}

void ReadAheadQueue::Do(Job& job, Lookup lookup, HeldDirectory& directories, bool keepOpen) const {
    if (job.kind == JobKind::Look) {
        job.examination =
            LookAtFile(job.path.c_str(), lookup, job.within ? &*job.within : nullptr, &directories);
        return;
    }
    DirectoryReader directory;
    // A directory the walk will not enter, for where it lies or for its file system, is not read.
    if (directory.Open(job.path, job.listing, lookup) &&
        (!job.within || job.listing.parent == job.within) &&
        rules.mayEnterVolume(job.parentVolume, job.listing.identity.volume, job.path.c_str())) {
        directory.ReadPiece(job.listing);
        if (keepOpen && !job.listing.complete) {
            job.reader = std::move(directory);
        }
    }
}

void ReadAheadQueue::Finish(Job& job, Dropped& dropped) {
    job.state = JobState::Ready;
    if (job.dropped) {
        dropped.push_back(&job);
        return;
    }
    job.resultBytes = ResultBytes(job);
    resultBytes += job.resultBytes;
    if (job.kind == JobKind::List && !threads.empty()) {
        QueueEntriesOf(job);
        KeepWithinBounds(dropped);
    }
    if (awaited == &job) {
        walkWake.notify_one();
    }
}

void ReadAheadQueue::QueueEntriesOf(Job& directory) {
    // The queued job the walk reaches next after this directory and all it holds.
    Job* after = order.Next(directory);
    while (after != nullptr && !queued.Holds(*after)) {
        after = order.Next(*after);
    }
    QueueEntries(directory.path, directory.depth, directory.listing.identity,
                 directory.listing.entries, order.Next(directory), after);
}

void ReadAheadQueue::Listed(const std::string& directory, int depth,
                            const DirectoryIdentity& identity, const std::string& entries) {
    std::unique_lock<std::mutex> hold(lock);
    if (threads.empty()) {
        return;  // nothing reads ahead
    }
    // After what the walk holds and every job of the directory's own (its earlier pieces and what
    // they hold: their paths begin with the directory's), before the rest of the walk.
    Job* next = AfterWhatTheWalkHolds();
    while (next != nullptr && next->path.starts_with(directory)) {
        next = order.Next(*next);
    }
    Job* nextQueued = next;
    while (nextQueued != nullptr && !queued.Holds(*nextQueued)) {
        nextQueued = order.Next(*nextQueued);
    }
    QueueEntries(directory, depth, identity, entries, next, nextQueued);
    Dropped dropped;
    KeepWithinBounds(dropped);
    Free(dropped, hold);
}

void ReadAheadQueue::QueueEntries(const std::string& directory, int depth,
                                  const DirectoryIdentity& identity, const std::string& entries,
                                  Job* next, Job* nextQueued) {
    std::size_t added = 0;
    for (std::size_t at = 0; at < entries.size();) {
        const auto kind = static_cast<unsigned char>(entries[at]);
        const std::string_view name(entries.data() + at + 1);
        at += name.size() + 2;
        const WalkEntry entry{EntryKindOf(AttributesOf(kind)), name, depth + 1,
                              directory.size() + name.size()};
        const WalkStep step = rules.decide(entry);
        const bool look = step == WalkStep::Examine && IsCandidate(name);
        if (!look && step != WalkStep::Enter) {
            continue;
        }
        std::string path = std::string(directory).append(name);
        if (step == WalkStep::Enter) {
            path.push_back(kPathSeparator);
        }
        if (byPath.count(path) != 0) {
            continue;
        }
        Job* job = AddJob(look ? JobKind::Look : JobKind::List, std::move(path), next);
        job->depth = entry.depth;
        job->parentVolume = identity.volume;
        job->within = identity;
        queued.InsertBefore(nextQueued, *job);
        ++added;
    }
    WakeReaders(added);
}

void ReadAheadQueue::WakeReaders(std::size_t jobs) {
    if (heldBack || queued.First() == nullptr) {
        return;  // they would find nothing to begin
    }
    const std::size_t free = places - std::min(places, placesTaken);
    for (std::size_t woken = 0; woken < std::min({jobs, sleeping, free}); ++woken) {
        readerWake.notify_one();
    }
}

void ReadAheadQueue::Drop(Job& job, Dropped& dropped) {
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
            readerWake.notify_all();
        }
    }
    if (job.state == JobState::Running) {
        job.dropped = true;  // its thread frees it when done
        return;
    }
    dropped.push_back(&job);
}

void ReadAheadQueue::DropBefore(Job& job, Dropped& dropped) {
    while (order.First() != &job) {
        Drop(*order.First(), dropped);
    }
}

void ReadAheadQueue::KeepWithinBounds(Dropped& dropped) {
    // The first job is the walk's: never dropped from here.
    while ((order.Size() > kMostJobs || pathBytes > kMostPathBytes) &&
           order.Last() != order.First()) {
        Drop(*order.Last(), dropped);
    }
}

// Freed without the lock: a result's memory may belong to another thread's arena, whose lock the
// free can wait for.
void ReadAheadQueue::Free(Dropped& dropped, std::unique_lock<std::mutex>& hold) {
    if (dropped.empty()) {
        return;
    }
    hold.unlock();
    for (Job* job : dropped) {
        delete job;
    }
    dropped.clear();
    hold.lock();
}

}  // namespace platform::posix

namespace platform {

struct ReadAhead::Queue : posix::ReadAheadQueue {
    using posix::ReadAheadQueue::ReadAheadQueue;
};

ReadAhead::ReadAhead(const WalkRules& rules) : queue(new Queue(rules, posix::ReadAheadThreads())) {}

ReadAhead::~ReadAhead() {
    delete queue;
}

void ReadAhead::Entering(const std::string& directory, int depth,
                         std::optional<std::uint64_t> parentVolume) {
    queue->Entering(directory, depth, parentVolume);
}

}  // namespace platform
