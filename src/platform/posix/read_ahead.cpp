#include "platform/posix/read_ahead.h"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
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

// Chosen by measurement: enough requests in flight to hide a share's latency, few enough that a
// local disk is not thrashed.
constexpr std::size_t kThreads = 8;
constexpr std::size_t kMostKept = 256;     // results waiting for the walk: ~64 KiB each at most
constexpr std::size_t kMostQueued = 4096;  // paths waiting for a thread
constexpr std::size_t kMostListings = 64;  // directory listings waiting for the walk
constexpr std::size_t kMostListingBytes = 8u << 20;
// A look at a file from the page cache takes some 20 µs; from a disk or a share, hundreds.
constexpr std::int64_t kSlowLookNanoseconds = 60'000;

// How long looks at files take, as a moving average; written by every thread that looks.
std::atomic<std::int64_t> averageLookNanoseconds{0};

void NoteLook(std::chrono::steady_clock::duration took) {
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
    const std::int64_t average = averageLookNanoseconds.load(std::memory_order_relaxed);
    averageLookNanoseconds.store(average + (nanoseconds - average) / 8, std::memory_order_relaxed);
}

std::atomic<bool> readAheadAlways{false};
// Set once the pool has had work: until then the walk asks it for nothing, and takes no lock.
std::atomic<bool> poolStarted{false};

bool LooksAreSlow() {
    return readAheadAlways.load(std::memory_order_relaxed) ||
           averageLookNanoseconds.load(std::memory_order_relaxed) > kSlowLookNanoseconds;
}

// The directory above directory (which ends in a separator).
std::string ParentOf(const std::string& directory) {
    const std::size_t end = directory.find_last_not_of('/');
    if (end == std::string::npos) {
        return "/";
    }
    const std::size_t separator = directory.rfind('/', end);
    return separator == std::string::npos ? "." : directory.substr(0, separator + 1);
}

struct Job {
    std::string path;  // a directory's ends in a separator
    bool directory;
};

struct Listing {
    std::string entries;
    FileIdentity identity;  // of the directory before it was read
};

// A directory on its parent's device only: never a mount, so never a pseudo file system.
std::optional<Listing> ListAhead(const std::string& directory) {
    struct stat status {};
    struct stat parent {};
    if (!StatPath(directory.c_str(), status) || !S_ISDIR(status.st_mode) ||
        !StatPath(ParentOf(directory).c_str(), parent) || status.st_dev != parent.st_dev) {
        return std::nullopt;
    }
    Listing listing{{}, IdentityOf(status)};
    if (!ReadDirectoryEntries(directory, listing.entries)) {
        return std::nullopt;
    }
    return listing;
}

class Pool {
  public:
    static Pool& Instance() {
        static Pool pool;
        return pool;
    }

    ~Pool() { Stop(); }

    // Puts jobs, in order, before everything queued: the walk is about to need them first.
    void Add(std::vector<Job> jobs);
    std::optional<Examination> Take(const std::string& path);
    std::optional<Listing> TakeListing(const std::string& directory);
    void WaitUntilIdle();

  private:
    Pool();
    void Work();
    void Stop();
    // Waits until path is neither queued (it is taken out, for the walk to do itself) nor being
    // worked on; false when it was queued.
    bool SettleFor(const std::string& path, std::unique_lock<std::mutex>& hold);
    void Keep(std::string directory, Listing listing);
    static void BeforeFork() { Instance().lock.lock(); }
    static void AfterForkInParent() { Instance().lock.unlock(); }
    static void AfterForkInChild();

    std::mutex lock;
    std::condition_variable wake;      // for the threads: work, room, or the end
    std::condition_variable finished;  // for the walk: a look it waits for is done
    std::deque<Job> queued;
    std::unordered_set<std::string> running;
    std::unordered_map<std::string, Examination> kept;
    std::unordered_map<std::string, Listing> listings;
    std::deque<std::string> listingOrder;  // oldest first, for eviction
    std::size_t listingBytes = 0;
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
    new (&pool.finished) std::condition_variable;
    for (std::thread& thread : pool.threads) {
        thread.detach();
    }
    pool.threads.clear();
    pool.queued.clear();
    pool.running.clear();
    pool.kept.clear();
    pool.listings.clear();
    pool.listingOrder.clear();
    pool.listingBytes = 0;
}

void Pool::Add(std::vector<Job> jobs) {
    const std::lock_guard<std::mutex> hold(lock);
    if (stopping) {
        return;
    }
    if (threads.empty()) {
        // Signals are for the walk's thread, which writes out the listing on SIGINT and SIGTERM.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        try {
            for (std::size_t index = 0; index < kThreads; ++index) {
                threads.emplace_back([this] { Work(); });
            }
        } catch (const std::system_error&) {
            // Fewer threads, or none: what is not read ahead is read in place.
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (threads.empty()) {
            return;
        }
        poolStarted.store(true);
    }
    jobs.resize(std::min(jobs.size(), kMostQueued - std::min(kMostQueued, queued.size())));
    queued.insert(queued.begin(), std::make_move_iterator(jobs.begin()),
                  std::make_move_iterator(jobs.end()));
    wake.notify_all();
}

void Pool::Work() {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        wake.wait(hold, [this] {
            return stopping || (!queued.empty() && kept.size() + running.size() < kMostKept);
        });
        if (stopping) {
            return;
        }
        Job job = std::move(queued.front());
        queued.pop_front();
        running.insert(job.path);
        hold.unlock();
        if (job.directory) {
            std::optional<Listing> listing = ListAhead(job.path);
            hold.lock();
            if (listing) {
                Keep(job.path, std::move(*listing));
            }
        } else {
            Examination examination = LookAtFileTimed(job.path.c_str());
            hold.lock();
            kept.insert_or_assign(job.path, std::move(examination));
        }
        running.erase(job.path);
        finished.notify_all();
    }
}

bool Pool::SettleFor(const std::string& path, std::unique_lock<std::mutex>& hold) {
    const auto waiting = std::find_if(queued.begin(), queued.end(),
                                      [&](const Job& job) { return job.path == path; });
    if (waiting != queued.end()) {
        queued.erase(waiting);  // not begun: quicker done in place than waited for
        return false;
    }
    finished.wait(hold, [&] { return stopping || running.count(path) == 0; });
    return true;
}

void Pool::Keep(std::string directory, Listing listing) {
    const std::size_t size = listing.entries.size();
    if (size > kMostListingBytes) {
        return;
    }
    if (const auto old = listings.find(directory); old != listings.end()) {
        listingBytes -= old->second.entries.size();
        listings.erase(old);
    }
    // The oldest go first; names already taken by the walk are only passed over.
    while (!listingOrder.empty() &&
           (listings.size() >= kMostListings || listingBytes + size > kMostListingBytes)) {
        if (const auto oldest = listings.find(listingOrder.front()); oldest != listings.end()) {
            listingBytes -= oldest->second.entries.size();
            listings.erase(oldest);
        }
        listingOrder.pop_front();
    }
    listingBytes += size;
    listingOrder.push_back(directory);
    listings.emplace(std::move(directory), std::move(listing));
    if (listingOrder.size() > 4 * kMostListings) {
        std::erase_if(listingOrder,
                      [this](const std::string& name) { return listings.count(name) == 0; });
    }
}

std::optional<Listing> Pool::TakeListing(const std::string& directory) {
    std::unique_lock<std::mutex> hold(lock);
    if (!SettleFor(directory, hold)) {
        return std::nullopt;
    }
    const auto found = listings.find(directory);
    if (found == listings.end()) {
        return std::nullopt;
    }
    Listing listing = std::move(found->second);
    listingBytes -= listing.entries.size();
    listings.erase(found);
    return listing;
}

std::optional<Examination> Pool::Take(const std::string& path) {
    std::unique_lock<std::mutex> hold(lock);
    if (!SettleFor(path, hold)) {
        return std::nullopt;
    }
    const auto found = kept.find(path);
    if (found == kept.end()) {
        return std::nullopt;
    }
    Examination examination = std::move(found->second);
    kept.erase(found);
    wake.notify_one();
    return examination;
}

void Pool::WaitUntilIdle() {
    std::unique_lock<std::mutex> hold(lock);
    finished.wait_for(hold, std::chrono::seconds(10),
                      [this] { return stopping || (queued.empty() && running.empty()); });
}

void Pool::Stop() {
    {
        const std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    wake.notify_all();
    finished.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
    threads.clear();
}

bool StillTheSameFile(const char* path, const Examination& examination) {
    struct stat status {};
    return StatPath(path, status) && S_ISREG(status.st_mode) &&
           IdentityOf(status) == examination.identity;
}

}  // namespace

void ReadAheadInDirectory(const std::string& directory, std::string_view entries) {
    if (!LooksAreSlow()) {
        return;
    }
    // Within the walk's bounds: a directory this deep below the root of the file system is at
    // least as deep below the walk's top.
    const auto depth = std::count(directory.begin(), directory.end(), '/');
    const bool listSubdirectories = depth + 1 < kWalkDeepestLevel;
    std::vector<Job> jobs;
    // Each entry: its kind, its name, a NUL; in the order the walk will meet them.
    for (std::size_t at = 0; at < entries.size();) {
        const auto kind = static_cast<unsigned char>(entries[at]);
        const std::string_view name(entries.data() + at + 1);
        at += name.size() + 2;
        if (name.size() > static_cast<std::size_t>(kLongestFileName)) {
            continue;
        }
        if (kind == DT_REG && IsCandidate(name)) {
            jobs.push_back({std::string(directory).append(name), false});
        } else if (kind == DT_DIR && name[0] != '.' && listSubdirectories &&
                   directory.size() + name.size() + 4 <= kWalkLongestPattern) {
            jobs.push_back({std::string(directory).append(name).append("/"), true});
        }
    }
    if (!jobs.empty()) {
        Pool::Instance().Add(std::move(jobs));
    }
}

std::optional<std::string> TakeReadAheadListing(const std::string& directory) {
    if (!poolStarted.load()) {
        return std::nullopt;
    }
    std::optional<Listing> listing = Pool::Instance().TakeListing(directory);
    struct stat status {};
    if (!listing || !StatPath(directory.c_str(), status) || !S_ISDIR(status.st_mode) ||
        !(IdentityOf(status) == listing->identity)) {
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

Examination LookAtFileTimed(const char* path) {
    const auto start = std::chrono::steady_clock::now();
    Examination examination = LookAtFile(path);
    NoteLook(std::chrono::steady_clock::now() - start);
    return examination;
}

std::optional<Examination> TakeReadAhead(const char* path) {
    if (!poolStarted.load()) {
        return std::nullopt;
    }
    std::optional<Examination> examination = Pool::Instance().Take(path);
    if (examination && examination->opened && !StillTheSameFile(path, *examination)) {
        return std::nullopt;
    }
    return examination;
}

}  // namespace platform::posix
