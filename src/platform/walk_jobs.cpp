#include <atomic>

#include "platform/read_ahead_work.h"

namespace platform {

namespace {

// Read by the read-ahead's threads as well as the walk's.
std::atomic<WalkJobs*> activeJobs{nullptr};

}  // namespace

void SetWalkJobs(WalkJobs* jobs) {
    activeJobs.store(jobs);
}

WalkJobs* ActiveWalkJobs() {
    return activeJobs.load();
}

}  // namespace platform
