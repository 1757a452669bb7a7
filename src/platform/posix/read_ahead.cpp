#include "platform/posix/read_ahead.h"

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/candidates.h"
#include "platform/platform.h"
#include "platform/posix/find_files.h"
#include "platform/posix/long_paths.h"
#include "platform/posix/windows_api.h"

namespace platform::posix {

namespace {

// Chosen by measurement (4, 8, 16 and 32 on the benchmark's share and cold disk): enough requests
// in flight to hide a share's latency, few enough that a local disk is not thrashed.
constexpr std::size_t kThreads = 16;
constexpr std::size_t kMostKept = 256;            // file results waiting for the walk
constexpr std::size_t kMostListings = 1024;       // directory listings waiting for the walk
constexpr std::size_t kMostKeptBytes = 8u << 20;  // of version blocks and listings together
constexpr std::size_t kMostQueued = 4096;         // paths waiting for a thread
// A result still not taken after the walk has asked this many times more is for a path the walk
// will not reach (a directory that changed, say): it goes, so that it stops holding room.
constexpr std::size_t kStaleAfterAsks = 2 * kMostQueued;
// Which of the last 32 looks at files waited on the device, the latest in the lowest bit; written
// by every thread that looks. Looks count as slow when most of the last 16 did.
std::atomic<std::uint32_t> recentSlowLooks{0};

void NoteLook(bool slow) {
    std::uint32_t recent = recentSlowLooks.load(std::memory_order_relaxed);
    while (!recentSlowLooks.compare_exchange_weak(recent, (recent << 1) | (slow ? 1u : 0u),
                                                  std::memory_order_relaxed)) {
    }
}

std::atomic<bool> readAheadAlways{false};

// The walk's last look at a directory it is about to list; only the walk's thread notes and takes.
struct NotedDirectory {
    std::string path;
    struct stat status {};
    bool held = false;
};
thread_local NotedDirectory notedDirectory;
// Set once the pool has had work: until then the walk asks it for nothing, and takes no lock.
std::atomic<bool> poolStarted{false};

bool LooksAreSlow() {
    return readAheadAlways.load(std::memory_order_relaxed) ||
           std::popcount(recentSlowLooks.load(std::memory_order_relaxed) & 0xffffu) > 8;
}

// The processors this process may run on (as taskset or a container's cpuset allow), at least 1.
std::size_t ProcessorsAllowed() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        return std::max(CPU_COUNT(&allowed), 1);
    }
    return std::max(std::thread::hardware_concurrency(), 1u);
}

// Slow looks wait on the device: many in flight hide its latency. Quick ones are work for a
// processor: one thread for each beside the walk's own, which helps too (see SettleFor).
std::size_t ThreadsWanted() {
    static const std::size_t spareProcessors = ProcessorsAllowed() - 1;
    return LooksAreSlow() ? kThreads : std::min(kThreads, spareProcessors);
}

// Whether a look waited on the device. While looks are quick, one that took over 60 µs did: from
// the page cache a look takes some 10 µs, from a disk or a share hundreds, and with no more
// threads than processors a thread is rarely put off the processor. With sixteen threads on fewer
// processors a look can take long only waiting for a processor, so then it counts as waiting
// when its thread gave up the processor during it (a voluntary context switch), as it does for a
// disk's or a share's reply; otherwise a few slow files on a warm disk could keep sixteen threads
// contending for two processors. The count is a system call, made only then.
class LookTimer {
  public:
    LookTimer() : switchesBefore(LooksAreSlow() ? VoluntarySwitches() : -1) {}
    ~LookTimer() {
        NoteLook(switchesBefore >= 0
                     ? VoluntarySwitches() > switchesBefore
                     : std::chrono::steady_clock::now() - start > std::chrono::microseconds(60));
    }

  private:
    // -1 where a thread's switches are not counted.
    static long VoluntarySwitches() {
#if defined(RUSAGE_THREAD)
        rusage usage{};
        return getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nvcsw : -1;
#else
        return -1;
#endif
    }

    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    const long switchesBefore;  // -1: timed by the clock
};

// Where a job stands in the walk's order: the positions of its directories and itself in their
// listings, as four-byte big-endian numbers, so that comparing the bytes compares the order. The
// directories the walk lists itself come first in turn, before everything read ahead so far (the
// walk has nothing left before them). Only the first levels count: deeper, jobs are taken in the
// order they were queued, which costs the read-ahead some use but keeps keys small.
using WalkOrder = std::string;
constexpr std::size_t kLongestWalkOrder = 16 * 4;

WalkOrder Below(const WalkOrder& directory, std::uint32_t position) {
    if (directory.size() >= kLongestWalkOrder) {
        return directory;
    }
    WalkOrder order = directory;
    for (int shift = 24; shift >= 0; shift -= 8) {
        order.push_back(static_cast<char>((position >> shift) & 0xff));
    }
    return order;
}

struct Job {
    std::string path;  // a directory's ends in a separator
    bool directory;
    std::uint64_t parentDevice;  // of the directory that holds it
};
using OrderedJobs = std::vector<std::pair<WalkOrder, Job>>;

// What the walk would read in a directory with these entries (kind, name, NUL each): its
// candidate regular files, and the subdirectories it would enter, in the walk's order.
OrderedJobs JobsIn(const std::string& directory, std::uint64_t device, const WalkOrder& order,
                   std::string_view entries) {
    // Within the walk's bounds: a directory this deep below the root of the file system is at
    // least as deep below the walk's top.
    const auto depth = std::count(directory.begin(), directory.end(), '/');
    const bool listSubdirectories = depth + 1 < kWalkDeepestLevel;
    OrderedJobs jobs;
    std::uint32_t position = 0;
    for (std::size_t at = 0; at < entries.size(); ++position) {
        const auto kind = static_cast<unsigned char>(entries[at]);
        const std::string_view name(entries.data() + at + 1);
        at += name.size() + 2;
        if (name.size() > static_cast<std::size_t>(kLongestFileName)) {
            continue;
        }
        if (kind == DT_REG && IsCandidate(name)) {
            jobs.emplace_back(Below(order, position),
                              Job{std::string(directory).append(name), false, device});
        } else if (kind == DT_DIR && name[0] != '.' && listSubdirectories &&
                   directory.size() + name.size() + 4 <= kWalkLongestPattern) {
            jobs.emplace_back(Below(order, position),
                              Job{std::string(directory).append(name).append("/"), true, device});
        }
    }
    return jobs;
}

struct Listing {
    std::string entries;
    FileIdentity identity;  // of the directory before it was read
};

struct DirectoryIdentityHash {
    std::size_t operator()(const DirectoryIdentity& identity) const {
        return static_cast<std::size_t>(identity.volume * 0x9e3779b97f4a7c15u ^ identity.index);
    }
};
// Directories listed, remembered so that none is listed ahead twice: at most this many (some
// 3 MiB), after which a directory met again is listed again.
constexpr std::size_t kMostDirectoriesRemembered = 1u << 16;

// A result waiting for the walk, with the count of the walk's asks when it was kept.
template <typename Result>
struct Kept {
    Result result;
    std::size_t keptAtAsk;
};

std::size_t SizeOf(const Examination& examination) {
    return examination.resource.size();
}
std::size_t SizeOf(const Listing& listing) {
    return listing.entries.size();
}

// The lock is held for a few map operations at a time; on a warm cache the walk's thread and a
// reader each take it tens of thousands of times a second. Spinning briefly before sleeping on it
// cut the futex calls of a run from 3,568 to 1,008 and its time by 4%.
void Acquire(std::unique_lock<std::mutex>& hold) {
    for (int spin = 0; spin < 100; ++spin) {
        if (hold.try_lock()) {
            return;
        }
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }
    hold.lock();
}

class Pool {
    using Queue = std::multimap<WalkOrder, Job>;

  public:
    static Pool& Instance() {
        static Pool pool;
        return pool;
    }

    ~Pool() { Stop(); }

    // Jobs in a directory the walk has just listed itself.
    void Add(const std::string& directory, const struct stat& status, std::string_view entries);
    std::optional<Examination> Take(const std::string& path) { return TakeFrom(kept, path); }
    std::optional<Listing> TakeListing(const std::string& directory) {
        return TakeFrom(listings, directory);
    }
    void WaitUntilIdle();
    void Forget();

  private:
    Pool();
    bool StartThreads();
    void Work(std::size_t index);
    // Takes the job off the queue and does it, keeping the result; called holding the lock.
    void DoJob(Queue::iterator next, std::unique_lock<std::mutex>& hold);
    // Lists a subdirectory that is on its parent's device (never a mount, so never a pseudo file
    // system) and met for the first time (the walk enters each directory once); called unlocked.
    std::optional<Listing> ListAhead(const Job& job);
    // Remembers the directory listed; false when it already was.
    bool FirstListing(const FileIdentity& directory);
    void Enqueue(OrderedJobs jobs);
    // Counts one queued job for path off; false when there is none (the walk took it back).
    bool Unqueue(const std::string& path);
    // The first job queued whose result there is room to keep; queued.end() when none.
    Queue::iterator NextJob();
    template <typename Result>
    void Keep(std::unordered_map<std::string, Kept<Result>>& results, std::string path,
              Result result);
    template <typename Result>
    std::optional<Result> TakeFrom(std::unordered_map<std::string, Kept<Result>>& results,
                                   const std::string& path);
    // Waits until path is neither queued (it is taken out, for the walk to do itself) nor being
    // worked on; false when it was queued.
    bool SettleFor(const std::string& path, std::unique_lock<std::mutex>& hold);
    void DropStale();
    void Stop();
    static void BeforeFork() { Instance().lock.lock(); }
    static void AfterForkInParent() { Instance().lock.unlock(); }
    static void AfterForkInChild();

    std::mutex lock;
    std::condition_variable wake;      // for the threads wanted: work, room, or the end
    std::condition_variable spare;     // for the others: wanted again, or the end
    std::condition_variable finished;  // for the walk: a look it waits for is done
    Queue queued;                      // jobs the walk has taken back stay here, out of queuedPaths
    std::uint32_t listedByWalk = 0;    // directories the walk listed itself, for their order
    std::size_t threadsWanted = 0;     // when work was last queued
    std::unordered_set<DirectoryIdentity, DirectoryIdentityHash> listedDirectories;
    std::unordered_map<std::string, std::size_t> queuedPaths;  // with how often each is queued
    std::unordered_set<std::string> running;
    std::unordered_map<std::string, Kept<Examination>> kept;
    std::unordered_map<std::string, Kept<Listing>> listings;
    std::size_t keptBytes = 0;
    std::size_t asks = 0;
    std::vector<std::thread> threads;
    bool stopping = false;
};

Pool::Pool() {
    // A child of a fork has none of the threads: it starts afresh, and reads in place until then.
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
}

void Pool::AfterForkInChild() {
    Pool& pool = Instance();
    // This thread took the lock before the fork; the others, and their waits, are not here.
    pool.lock.unlock();
    new (&pool.wake) std::condition_variable;
    new (&pool.spare) std::condition_variable;
    new (&pool.finished) std::condition_variable;
    for (std::thread& thread : pool.threads) {
        thread.detach();
    }
    pool.threads.clear();
    pool.queued.clear();
    pool.queuedPaths.clear();
    pool.listedDirectories.clear();
    pool.running.clear();
    pool.kept.clear();
    pool.listings.clear();
    pool.keptBytes = 0;
    pool.threadsWanted = 0;
}

bool Pool::StartThreads() {
    // Signals are for the walk's thread, which writes out the listing on SIGINT and SIGTERM.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        for (std::size_t index = 0; index < kThreads; ++index) {
            threads.emplace_back([this, index] { Work(index); });
        }
    } catch (const std::system_error&) {
        // Fewer threads, or none: what is not read ahead is read in place.
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!threads.empty()) {
        poolStarted.store(true);
    }
    return !threads.empty();
}

void Pool::Add(const std::string& directory, const struct stat& status, std::string_view entries) {
    std::unique_lock<std::mutex> hold(lock, std::defer_lock);
    Acquire(hold);
    if (stopping || (threads.empty() && !StartThreads())) {
        return;
    }
    FirstListing(IdentityOf(status));
    const WalkOrder order = Below({}, std::numeric_limits<std::uint32_t>::max() - listedByWalk++);
    Enqueue(JobsIn(directory, static_cast<std::uint64_t>(status.st_dev), order, entries));
}

bool Pool::FirstListing(const FileIdentity& directory) {
    if (listedDirectories.size() >= kMostDirectoriesRemembered) {
        return true;
    }
    // As the walk tells directories apart: by device and inode.
    return listedDirectories.insert({directory.device, directory.inode}).second;
}

std::optional<Listing> Pool::ListAhead(const Job& job) {
    struct stat status {};
    if (!StatPath(job.path.c_str(), status) || !S_ISDIR(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_dev) != job.parentDevice) {
        return std::nullopt;
    }
    Listing listing{{}, IdentityOf(status)};
    {
        std::unique_lock<std::mutex> hold(lock, std::defer_lock);
        Acquire(hold);
        if (!FirstListing(listing.identity)) {
            return std::nullopt;
        }
    }
    if (!ReadDirectoryEntries(job.path, listing.entries)) {
        return std::nullopt;
    }
    return listing;
}

void Pool::Enqueue(OrderedJobs jobs) {
    for (auto& [order, job] : jobs) {
        ++queuedPaths[job.path];
        queued.emplace(std::move(order), std::move(job));
    }
    // The last in order are the ones the walk reaches last.
    while (queued.size() > kMostQueued) {
        const auto last = std::prev(queued.end());
        Unqueue(last->second.path);
        queued.erase(last);
    }
    wake.notify_all();
    // The threads set apart wake only when more are wanted than were.
    const std::size_t wanted = ThreadsWanted();
    if (wanted > threadsWanted) {
        spare.notify_all();
    }
    threadsWanted = wanted;
}

bool Pool::Unqueue(const std::string& path) {
    const auto found = queuedPaths.find(path);
    if (found == queuedPaths.end()) {
        return false;
    }
    if (--found->second == 0) {
        queuedPaths.erase(found);
    }
    return true;
}

void Pool::Work(std::size_t index) {
    std::unique_lock<std::mutex> hold(lock, std::defer_lock);
    Acquire(hold);
    while (!stopping) {
        if (index >= ThreadsWanted()) {
            spare.wait(hold);  // apart, so that waking the threads wanted does not wake it
        } else if (const auto next = NextJob(); next != queued.end()) {
            DoJob(next, hold);
        } else {
            wake.wait(hold);
        }
    }
}

Pool::Queue::iterator Pool::NextJob() {
    const bool roomForFiles = kept.size() + running.size() < kMostKept;
    const bool roomForListings = listings.size() + running.size() < kMostListings;
    if (keptBytes >= kMostKeptBytes || !(roomForFiles || roomForListings)) {
        return queued.end();
    }
    if (roomForFiles && roomForListings) {
        return queued.begin();
    }
    return std::find_if(queued.begin(), queued.end(), [&](const auto& entry) {
        return entry.second.directory ? roomForListings : roomForFiles;
    });
}

void Pool::DoJob(Queue::iterator next, std::unique_lock<std::mutex>& hold) {
    auto queuedJob = queued.extract(next);  // freed unlocked, as in TakeFrom
    const WalkOrder order = std::move(queuedJob.key());
    Job job = std::move(queuedJob.mapped());
    if (!Unqueue(job.path)) {
        return;  // taken back by the walk
    }
    running.insert(job.path);
    hold.unlock();
    queuedJob = {};
    if (job.directory) {
        std::optional<Listing> listing = ListAhead(job);
        OrderedJobs inside =
            listing ? JobsIn(job.path, listing->identity.device, order, listing->entries)
                    : OrderedJobs{};
        Acquire(hold);
        if (listing) {
            Keep(listings, job.path, std::move(*listing));
            Enqueue(std::move(inside));
        }
    } else {
        Examination examination = LookAtFileTimed(job.path.c_str());
        Acquire(hold);
        Keep(kept, job.path, std::move(examination));
    }
    running.erase(job.path);
    finished.notify_all();
}

template <typename Result>
void Pool::Keep(std::unordered_map<std::string, Kept<Result>>& results, std::string path,
                Result result) {
    if (const auto old = results.find(path); old != results.end()) {
        keptBytes -= SizeOf(old->second.result);
        results.erase(old);
    }
    keptBytes += SizeOf(result);
    results.emplace(std::move(path), Kept<Result>{std::move(result), asks});
}

template <typename Result>
std::optional<Result> Pool::TakeFrom(std::unordered_map<std::string, Kept<Result>>& results,
                                     const std::string& path) {
    std::unique_lock<std::mutex> hold(lock, std::defer_lock);
    Acquire(hold);
    if (++asks % 64 == 0) {
        DropStale();
    }
    if (!SettleFor(path, hold)) {
        return std::nullopt;
    }
    const auto found = results.find(path);
    if (found == results.end()) {
        return std::nullopt;
    }
    // Freed only once the lock is let go: a reader allocated it, and freeing it can wait for the
    // allocator's lock of that reader's memory, which the readers would then queue behind.
    auto taken = results.extract(found);
    keptBytes -= SizeOf(taken.mapped().result);
    wake.notify_one();
    hold.unlock();
    return std::move(taken.mapped().result);
}

void Pool::DropStale() {
    const auto stale = [this](const auto& entry) {
        if (entry.second.keptAtAsk + kStaleAfterAsks >= asks) {
            return false;
        }
        keptBytes -= SizeOf(entry.second.result);
        return true;
    };
    if (std::erase_if(kept, stale) + std::erase_if(listings, stale) > 0) {
        wake.notify_all();
    }
}

bool Pool::SettleFor(const std::string& path, std::unique_lock<std::mutex>& hold) {
    if (running.count(path) == 0) {
        // Not begun: quicker done in place than waited for.
        return queuedPaths.erase(path) == 0;
    }
    // Being read: rather than idle until it is, the walk's thread takes on the jobs next in line,
    // which it will soon want too.
    while (!stopping && running.count(path) != 0) {
        if (const auto next = NextJob(); next != queued.end()) {
            DoJob(next, hold);
        } else {
            finished.wait(hold);
        }
    }
    return true;
}

void Pool::WaitUntilIdle() {
    std::unique_lock<std::mutex> hold(lock, std::defer_lock);
    Acquire(hold);
    finished.wait_for(hold, std::chrono::seconds(10), [this] {
        return stopping || (running.empty() && (queuedPaths.empty() || NextJob() == queued.end()));
    });
}

void Pool::Forget() {
    std::unique_lock<std::mutex> hold(lock, std::defer_lock);
    Acquire(hold);
    queued.clear();
    queuedPaths.clear();
    finished.wait(hold, [this] { return running.empty(); });
    kept.clear();
    listings.clear();
    keptBytes = 0;
    listedDirectories.clear();
    wake.notify_all();
}

void Pool::Stop() {
    {
        std::unique_lock<std::mutex> hold(lock, std::defer_lock);
        Acquire(hold);
        stopping = true;
    }
    wake.notify_all();
    spare.notify_all();
    finished.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
    threads.clear();
}

// Whether path still names what was looked at: the same regular file, unchanged; or, when
// nothing could be opened, still no regular file (one that has appeared since is looked at now).
bool StillAsLookedAt(const char* path, const Examination& examination) {
    struct stat status {};
    const bool regular = StatPath(path, status) && S_ISREG(status.st_mode);
    return examination.opened ? regular && IdentityOf(status) == examination.identity : !regular;
}

}  // namespace

void NoteDirectoryStatus(const char* directory, const struct stat& status) {
    notedDirectory.path.assign(directory);
    notedDirectory.status = status;
    notedDirectory.held = true;
}

std::optional<struct stat> TakeNotedDirectoryStatus(const std::string& directory) {
    if (!notedDirectory.held || notedDirectory.path != directory) {
        return std::nullopt;
    }
    notedDirectory.held = false;
    return notedDirectory.status;
}

void ReadAheadInDirectory(const std::string& directory, const std::optional<struct stat>& status,
                          std::string_view entries) {
    struct stat looked {};
    if (ThreadsWanted() == 0 || !(status || StatPath(directory.c_str(), looked))) {
        return;
    }
    Pool::Instance().Add(directory, status ? *status : looked, entries);
}

std::optional<std::string> TakeReadAheadListing(const std::string& directory,
                                                const std::optional<struct stat>& status) {
    if (!poolStarted.load()) {
        return std::nullopt;
    }
    std::optional<Listing> listing = Pool::Instance().TakeListing(directory);
    struct stat looked {};
    if (!listing || !(status || StatPath(directory.c_str(), looked))) {
        return std::nullopt;
    }
    const struct stat& now = status ? *status : looked;
    if (!S_ISDIR(now.st_mode) || !(IdentityOf(now) == listing->identity)) {
        return std::nullopt;
    }
    return std::move(listing->entries);
}

void ReadAheadAlways(bool always) {
    readAheadAlways.store(always, std::memory_order_relaxed);
}

void WaitUntilReadAheadIdle() {
    Pool::Instance().WaitUntilIdle();
}

void ForgetReadAhead() {
    Pool::Instance().Forget();
}

Examination LookAtFileTimed(const char* path) {
    const LookTimer timer;
    return LookAtFile(path);
}

std::optional<Examination> TakeReadAhead(const char* path) {
    if (!poolStarted.load()) {
        return std::nullopt;
    }
    std::optional<Examination> examination = Pool::Instance().Take(path);
    if (examination && !StillAsLookedAt(path, *examination)) {
        return std::nullopt;
    }
    return examination;
}

}  // namespace platform::posix
