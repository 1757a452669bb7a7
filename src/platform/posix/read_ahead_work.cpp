#include "platform/read_ahead_work.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <thread>

namespace platform {

void DoReadAheadJob(platform::ReadAheadJob& job, Lookup lookup, WorkerState& state,
                    const WalkRules& rules, bool keepOpen) {
    if (job.kind == platform::JobKind::Look) {
        job.examination = posix::LookAtFile(
            job.path.c_str(), lookup, job.within ? &*job.within : nullptr, &state.directories);
        return;
    }
    posix::DirectoryReader directory;
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

std::size_t ProcessorsAllowed() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        return static_cast<std::size_t>(std::max(CPU_COUNT(&allowed), 1));
    }
    return std::max(std::thread::hardware_concurrency(), 1u);
}

void StartThreadsWithoutSignals(const std::function<void()>& start) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    start();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace platform
