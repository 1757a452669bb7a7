#include "read_ahead/queue.h"

#include <algorithm>
#include <system_error>

namespace read_ahead {

Queue::Queue(const platform::WalkRules& rules, std::size_t threadCount)
    : rules(rules),
      places(platform::kWorkFromMemory ? std::max<std::size_t>(platform::ProcessorsAllowed() - 1, 1)
                                       : std::max<std::size_t>(threadCount, 1)),
      order(rules) {
    platform::StartThreadsWithoutSignals([this, threadCount] {
        try {
            for (std::size_t index = 0; index < threadCount; ++index) {
                threads.emplace_back([this] { Work(); });
            }
        } catch (const std::system_error&) {
            // Fewer threads, or none: what no thread begins, the walk does in place.
        }
    });
    platform::SetWalkJobs(this);
}

Queue::~Queue() {
    platform::SetWalkJobs(nullptr);
    {
        const std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    readerWake.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
}

void Queue::Entering(std::string_view directory, int depth,
                     std::optional<std::uint64_t> parentVolume) {
    const std::unique_lock<std::mutex> hold(lock);
    if (order.Find(directory) != nullptr) {
        return;  // listed ahead, or being listed
    }
    Job* job = order.AddForTheWalk(JobKind::List, directory);
    job->depth = depth;
    job->parentVolume = parentVolume;
    order.CheckInvariants();
}

Job* Queue::Ask(std::string_view path, JobKind kind, WithinOf withinOf) {
    std::unique_lock<std::mutex> hold(lock);
    Dropped dropped;
    Job* job = order.Find(path);
    if (job == nullptr && kind == JobKind::List) {
        return nullptr;
    }
    if (job == nullptr) {
        job = order.AddForTheWalk(kind, path);
        if (withinOf != nullptr) {
            job->within = withinOf(path);
        }
    }
    order.DropBefore(*job, dropped);
    Changed(0);
    // Being done by a thread: rather than sleep until it is, the walk does the jobs next in line,
    // which it will want soon too.
    while (job->state == JobState::Running) {
        Job* next = order.FirstQueued();
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

#ifndef _WIN32
void Queue::Listed(const std::string& directory, int depth,
                   const platform::DirectoryIdentity& identity,
                   const platform::posix::DirectoryListing& piece) {
    std::unique_lock<std::mutex> hold(lock);
    if (threads.empty()) {
        return;  // nothing reads ahead
    }
    const auto [next, nextQueued] = order.AfterDirectory(directory);
    const std::size_t added =
        order.QueueEntries(directory, depth, identity, piece, next, nextQueued);
    Dropped dropped;
    order.KeepWithinBounds(dropped);
    Changed(added);
    Free(dropped, hold);
}
#endif

void Queue::DoInPlace(Job& job, std::unique_lock<std::mutex>& hold, Dropped& dropped, bool asked) {
    order.Begin(job);
    hold.unlock();
    platform::DoReadAheadJob(job, platform::Lookup::MayWait, walkState, rules, asked);
    hold.lock();
    Finish(job, dropped);
}

void Queue::Work() {
    std::unique_lock<std::mutex> hold(lock);
    Dropped dropped;
    platform::WorkerState state;
    while (!stopping) {
        Job* job = placesTaken < places ? order.NextToBegin() : nullptr;
        if (job == nullptr) {
            ++sleeping;
            readerWake.wait(hold);
            --sleeping;
            continue;
        }
        order.Begin(*job);
        ++placesTaken;
        hold.unlock();
        const platform::Lookup lookup =
            platform::kWorkFromMemory ? platform::Lookup::FromMemory : platform::Lookup::MayWait;
        platform::DoReadAheadJob(*job, lookup, state, rules, false);
        const bool wait = job->WouldWait();
        hold.lock();
        --placesTaken;
        if (wait && !job->dropped) {
            // The device's to answer (unless the walk has passed the job meanwhile): this thread
            // waits for it without a place, and another takes the place to begin the next job.
            WakeReaders(1);
            hold.unlock();
            job->Forget();
            platform::DoReadAheadJob(*job, platform::Lookup::MayWait, state, rules, false);
            hold.lock();
        }
        Finish(*job, dropped);
        Free(dropped, hold);
    }
}

void Queue::Finish(Job& job, Dropped& dropped) {
    const std::size_t added = order.Finish(job, dropped, !threads.empty());
    if (awaited == &job) {
        walkWake.notify_one();
    }
    Changed(added);
}

void Queue::Changed(std::size_t queuedJobs) {
    if (order.TakeReleased()) {
        readerWake.notify_all();  // the walk has taken half of what the threads made
    } else {
        WakeReaders(queuedJobs);
    }
    order.CheckInvariants();
}

void Queue::WakeReaders(std::size_t jobs) {
    if (order.HeldBack() || order.FirstQueued() == nullptr) {
        return;  // they would find nothing to begin
    }
    const std::size_t free = places - std::min(places, placesTaken);
    for (std::size_t woken = 0; woken < std::min({jobs, sleeping, free}); ++woken) {
        readerWake.notify_one();
    }
}

// Freed without the lock: a result's memory may belong to another thread's arena, whose lock the
// free can wait for.
void Queue::Free(Dropped& dropped, std::unique_lock<std::mutex>& hold) {
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

}  // namespace read_ahead

namespace platform {

struct ReadAhead::Queue : read_ahead::Queue {
    using read_ahead::Queue::Queue;
};

ReadAhead::ReadAhead(const WalkRules& rules) : queue(new Queue(rules, read_ahead::ThreadCount())) {}

ReadAhead::~ReadAhead() {
    delete queue;
}

void ReadAhead::Entering(const std::string& directory, int depth,
                         std::optional<std::uint64_t> parentVolume) {
    queue->Entering(directory, depth, parentVolume);
}

}  // namespace platform
