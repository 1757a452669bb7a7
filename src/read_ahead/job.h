// One job of the read-ahead, and the lists that hold jobs in the walk's order.
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
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/read_ahead_work.h"

namespace read_ahead {

using platform::JobKind;
enum class JobState { Queued, Running, Ready };

struct Job;
struct JobLinks {
    Job* previous = nullptr;
    Job* next = nullptr;
};

// What the job needs and (from the platform's work) yields, and where it stands.
struct Job : platform::ReadAheadJob {
    // Where it stands.
    JobState state = JobState::Queued;
    bool dropped = false;         // dropped while running: freed by its thread when done
    std::size_t resultBytes = 0;  // of its result, as counted against the bound when done
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

}  // namespace read_ahead
