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
#include "platform/posix/long_paths.h"
#include "platform/posix/windows_api.h"

namespace platform::posix {

namespace {

// Chosen by measurement: enough requests in flight to hide a share's latency, few enough that a
// local disk is not thrashed.
constexpr std::size_t kThreads = 8;
constexpr std::size_t kMostKept = 256;     // results waiting for the walk: ~64 KiB each at most
constexpr std::size_t kMostQueued = 4096;  // paths waiting for a thread
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

bool LooksAreSlow() {
    return readAheadAlways.load(std::memory_order_relaxed) ||
           averageLookNanoseconds.load(std::memory_order_relaxed) > kSlowLookNanoseconds;
}

class Pool {
  public:
    static Pool& Instance() {
        static Pool pool;
        return pool;
    }

    ~Pool() { Stop(); }

    // Puts paths, in order, before everything queued: the walk is about to need them first.
    void Add(std::vector<std::string> paths);
    std::optional<Examination> Take(const std::string& path);

  private:
    Pool();
    void Work();
    void Stop();
    static void BeforeFork() { Instance().lock.lock(); }
    static void AfterForkInParent() { Instance().lock.unlock(); }
    static void AfterForkInChild();

    std::mutex lock;
    std::condition_variable wake;      // for the threads: work, room, or the end
    std::condition_variable finished;  // for the walk: a look it waits for is done
    std::deque<std::string> queued;
    std::unordered_set<std::string> running;
    std::unordered_map<std::string, Examination> kept;
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
}

void Pool::Add(std::vector<std::string> paths) {
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
    }
    paths.resize(std::min(paths.size(), kMostQueued - std::min(kMostQueued, queued.size())));
    queued.insert(queued.begin(), std::make_move_iterator(paths.begin()),
                  std::make_move_iterator(paths.end()));
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
        std::string path = std::move(queued.front());
        queued.pop_front();
        running.insert(path);
        hold.unlock();
        Examination examination = LookAtFileTimed(path.c_str());
        hold.lock();
        running.erase(path);
        kept.insert_or_assign(std::move(path), std::move(examination));
        finished.notify_all();
    }
}

std::optional<Examination> Pool::Take(const std::string& path) {
    std::unique_lock<std::mutex> hold(lock);
    const auto waiting = std::find(queued.begin(), queued.end(), path);
    if (waiting != queued.end()) {
        queued.erase(waiting);  // not begun: quicker done in place than waited for
        return std::nullopt;
    }
    finished.wait(hold, [&] { return stopping || running.count(path) == 0; });
    const auto found = kept.find(path);
    if (found == kept.end()) {
        return std::nullopt;
    }
    Examination examination = std::move(found->second);
    kept.erase(found);
    wake.notify_one();
    return examination;
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
    std::vector<std::string> paths;
    // Each entry: its kind, its name, a NUL. Only what the listing will surely examine: regular
    // files by the directory's word, named as candidates, with names a find record can hold.
    for (std::size_t at = 0; at < entries.size();) {
        const auto kind = static_cast<unsigned char>(entries[at]);
        const std::string_view name(entries.data() + at + 1);
        at += name.size() + 2;
        if (kind == DT_REG && name.size() <= static_cast<std::size_t>(kLongestFileName) &&
            IsCandidate(name)) {
            paths.emplace_back(directory).append(name);
        }
    }
    if (!paths.empty()) {
        Pool::Instance().Add(std::move(paths));
    }
}

void ReadAheadAlways(bool always) {
    readAheadAlways.store(always, std::memory_order_relaxed);
}

Examination LookAtFileTimed(const char* path) {
    const auto start = std::chrono::steady_clock::now();
    Examination examination = LookAtFile(path);
    NoteLook(std::chrono::steady_clock::now() - start);
    return examination;
}

std::optional<Examination> TakeReadAhead(const char* path) {
    std::optional<Examination> examination = Pool::Instance().Take(path);
    if (examination && examination->opened && !StillTheSameFile(path, *examination)) {
        return std::nullopt;
    }
    return examination;
}

}  // namespace platform::posix
