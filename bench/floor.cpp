// The floor: only the work that listing a tree's program files cannot avoid. It walks the tree
// (skipping directories whose names begin with a dot) and, for each .exe, .dll or .ocx by name,
// opens it, reads its first 4 KiB, takes its modification time and closes it. Quillet does all
// of this and more, so it cannot beat this by much; the benchmark shows how close it comes.
// With a count of files to read at once, the walk hands the files to that many threads: the floor
// of a tool that overlaps its requests.
//
//   floor DIRECTORY [FILES-AT-ONCE]

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Totals {
    std::atomic<long> candidates{0};
    std::atomic<long long> timeSum{0};  // keeps the work from being optimised away
};

void Examine(const std::string& path, Totals& totals);

// The files to read, handed from the walk to the readers; bounded, so the walk runs only so far
// ahead.
class Readers {
  public:
    Readers(int count, Totals& totals) : totals(totals) {
        for (int index = 0; index < count; ++index) {
            threads.emplace_back([this] { Read(); });
        }
    }
    ~Readers() {
        {
            const std::lock_guard<std::mutex> hold(lock);
            done = true;
        }
        changed.notify_all();
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    void Add(std::string path) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [this] { return paths.size() < 1024; });
        paths.push_back(std::move(path));
        changed.notify_all();
    }

  private:
    void Read() {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            changed.wait(hold, [this] { return done || !paths.empty(); });
            if (paths.empty()) {
                return;
            }
            const std::string path = std::move(paths.front());
            paths.pop_front();
            changed.notify_all();
            hold.unlock();
            Examine(path, totals);
            hold.lock();
        }
    }

    Totals& totals;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::string> paths;
    bool done = false;
    std::vector<std::thread> threads;
};

Readers* readers = nullptr;

bool IsCandidate(const char* name) {
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr && (strcasecmp(dot, ".exe") == 0 || strcasecmp(dot, ".dll") == 0 ||
                              strcasecmp(dot, ".ocx") == 0);
}

void Examine(const std::string& path, Totals& totals) {
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return;
    }
    char head[4096];
    const ssize_t got = read(descriptor, head, sizeof head);
    struct stat status {};
    if (fstat(descriptor, &status) == 0 && got >= 0) {
        ++totals.candidates;
        totals.timeSum += status.st_mtim.tv_sec + head[0];
    }
    close(descriptor);
}

void Walk(const std::string& directory, Totals& totals) {
    DIR* stream = opendir(directory.c_str());
    if (stream == nullptr) {
        return;
    }
    std::vector<std::string> subdirectories;
    while (const dirent* entry = readdir(stream)) {
        const std::string path = directory + "/" + entry->d_name;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat status {};
            isDirectory = stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
        }
        if (isDirectory) {
            if (entry->d_name[0] != '.') {
                subdirectories.push_back(path);
            }
        } else if (IsCandidate(entry->d_name)) {
            if (readers != nullptr) {
                readers->Add(path);
            } else {
                Examine(path, totals);
            }
        }
    }
    closedir(stream);
    for (const std::string& subdirectory : subdirectories) {
        Walk(subdirectory, totals);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2 && argc != 3) {
        std::fputs("usage: floor DIRECTORY [FILES-AT-ONCE]\n", stderr);
        return 1;
    }
    Totals totals;
    {
        const int atOnce = argc == 3 ? std::atoi(argv[2]) : 1;
        std::optional<Readers> pool;
        if (atOnce > 1) {
            pool.emplace(atOnce, totals);
            readers = &*pool;
        }
        Walk(argv[1], totals);
    }
    std::printf("%ld candidates (%lld)\n", totals.candidates.load(), totals.timeSum.load() % 10);
    return 0;
}
