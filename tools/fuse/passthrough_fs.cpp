// A read-only FUSE file system that passes a directory through, for the tests and the benchmark.
//
//   passthrough_fs [--stretch-names] [--latency-us N] [--fail-list NAME] [--fail-open NAME]
//                  [--fail-read NAME] [--vanish NAME] [--short-read NAME] [--end-after N]
//                  BACKING-DIRECTORY MOUNT-POINT [FUSE OPTIONS]
//
// --stretch-names: a name "c@N..." in the directory shows as N copies of the letter c followed by
// the rest, so that a test can list names longer than the 255 bytes local file systems take (FUSE
// allows 1,024). --latency-us: every operation waits that long first, as on a network share;
// requests are served on several threads, as a share serves them. The faults of a failing disk
// or share: --fail-list, --fail-open and --fail-read answer EIO to listing, opening or reading
// whatever is named NAME; --end-after ends the daemon in the middle of its N+1st operation, so
// that the kernel answers every request from then on with an error, as when a share drops. The
// changes of a busy share: --vanish lists NAME (of no known kind) but answers that it is gone to
// every look at it, as when it is deleted between the listing and the look; --short-read gives
// at most half of what each read of NAME asks for, and ends NAME 4 KiB before the size it states,
// as a file cut short while it is read, so that its last reads give nothing.

#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kShortestStretched = 256;  // shorter names need no stretching

std::string backing;
bool stretchNames = false;
std::chrono::microseconds latency{0};
std::string failList;
std::string failOpen;
std::string failRead;
std::string vanish;
std::string shortRead;
constexpr off_t kCutShort = 4096;
long endAfter = 0;
std::atomic<long> operations{0};

void Wait() {
    if (endAfter > 0 && ++operations > endAfter) {
        _exit(0);  // the connection drops with the daemon
    }
    if (latency.count() > 0) {
        std::this_thread::sleep_for(latency);
    }
}

// Whether path's last name is the one a fault is set for.
bool Named(const char* path, const std::string& name) {
    const std::string_view whole(path);
    return !name.empty() && whole.substr(whole.rfind('/') + 1) == name;
}

std::string Stretched(std::string_view name) {
    const std::size_t at = name.find('@');
    if (!stretchNames || name.size() < 3 || at != 1) {
        return std::string(name);
    }
    std::size_t digits = 2;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') {
        ++digits;
    }
    const int count = std::atoi(std::string(name.substr(2, digits - 2)).c_str());
    if (count <= 0 || count > 1024) {
        return std::string(name);
    }
    return std::string(static_cast<std::size_t>(count), name[0]) + std::string(name.substr(digits));
}

std::string Shrunk(std::string_view name) {
    std::size_t run = 0;
    while (run < name.size() && name[run] == name[0]) {
        ++run;
    }
    if (!stretchNames || run < kShortestStretched) {
        return std::string(name);
    }
    return std::string(1, name[0]) + "@" + std::to_string(run) + std::string(name.substr(run));
}

std::string BackingPath(const char* path) {
    std::string result = backing;
    std::string_view rest(path);
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view component = rest.substr(0, slash);
        if (!component.empty()) {
            result.push_back('/');
            result.append(Shrunk(component));
        }
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    return result;
}

int GetAttributes(const char* path, struct stat* status, fuse_file_info*) {
    Wait();
    if (Named(path, vanish)) {
        return -ENOENT;
    }
    if (lstat(BackingPath(path).c_str(), status) != 0) {
        return -errno;
    }
    if (Named(path, shortRead)) {
        status->st_size += kCutShort;
    }
    return 0;
}

int ReadLink(const char* path, char* buffer, std::size_t size) {
    Wait();
    const ssize_t got = readlink(BackingPath(path).c_str(), buffer, size - 1);
    if (got < 0) {
        return -errno;
    }
    buffer[got] = '\0';
    return 0;
}

int ReadDirectory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                  fuse_readdir_flags) {
    Wait();
    if (Named(path, failList)) {
        return -EIO;
    }
    DIR* directory = opendir(BackingPath(path).c_str());
    if (directory == nullptr) {
        return -errno;
    }
    while (const dirent* entry = readdir(directory)) {
        struct stat status {};
        status.st_ino = entry->d_ino;
        status.st_mode =
            Named(entry->d_name, vanish) ? 0 : static_cast<mode_t>(entry->d_type) << 12;
        fill(buffer, Stretched(entry->d_name).c_str(), &status, 0, fuse_fill_dir_flags{});
    }
    closedir(directory);
    return 0;
}

int Open(const char* path, fuse_file_info* info) {
    Wait();
    if (Named(path, failOpen)) {
        return -EIO;
    }
    if (Named(path, vanish)) {
        return -ENOENT;
    }
    // Short reads reach the reader only past the kernel's cache.
    info->direct_io = Named(path, shortRead) ? 1 : 0;
    if ((info->flags & O_ACCMODE) != O_RDONLY) {
        return -EROFS;
    }
    const int descriptor = open(BackingPath(path).c_str(), O_RDONLY);
    if (descriptor < 0) {
        return -errno;
    }
    info->fh = static_cast<std::uint64_t>(descriptor);
    return 0;
}

int Read(const char* path, char* buffer, std::size_t size, off_t offset, fuse_file_info* info) {
    Wait();
    if (Named(path, failRead)) {
        return -EIO;
    }
    if (Named(path, shortRead)) {
        size = std::max<std::size_t>(size / 2, 1);
    }
    const ssize_t got = pread(static_cast<int>(info->fh), buffer, size, offset);
    return got < 0 ? -errno : static_cast<int>(got);
}

int Release(const char*, fuse_file_info* info) {
    close(static_cast<int>(info->fh));
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    int first = 1;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        if (std::strcmp(argv[first], "--stretch-names") == 0) {
            stretchNames = true;
        } else if (std::strcmp(argv[first], "--latency-us") == 0 && first + 1 < argc) {
            latency = std::chrono::microseconds(std::atoi(argv[++first]));
        } else if (std::strcmp(argv[first], "--fail-list") == 0 && first + 1 < argc) {
            failList = argv[++first];
        } else if (std::strcmp(argv[first], "--fail-open") == 0 && first + 1 < argc) {
            failOpen = argv[++first];
        } else if (std::strcmp(argv[first], "--fail-read") == 0 && first + 1 < argc) {
            failRead = argv[++first];
        } else if (std::strcmp(argv[first], "--vanish") == 0 && first + 1 < argc) {
            vanish = argv[++first];
        } else if (std::strcmp(argv[first], "--short-read") == 0 && first + 1 < argc) {
            shortRead = argv[++first];
        } else if (std::strcmp(argv[first], "--end-after") == 0 && first + 1 < argc) {
            endAfter = std::atol(argv[++first]);
        }
    }
    if (argc - first < 2) {
        std::fputs(
            "usage: passthrough_fs [--stretch-names] [--latency-us N] [--fail-list NAME] "
            "[--fail-open NAME] [--fail-read NAME] [--vanish NAME] [--short-read NAME] "
            "[--end-after N] BACKING-DIRECTORY "
            "MOUNT-POINT [FUSE OPTIONS]\n",
            stderr);
        return 2;
    }
    char* resolved = realpath(argv[first], nullptr);
    if (resolved == nullptr) {
        std::perror(argv[first]);
        return 2;
    }
    backing = resolved;
    std::free(resolved);
    fuse_operations operations{};
    operations.getattr = GetAttributes;
    operations.readlink = ReadLink;
    operations.readdir = ReadDirectory;
    operations.open = Open;
    operations.read = Read;
    operations.release = Release;
    std::vector<char*> arguments{argv[0]};
    for (int index = first + 1; index < argc; ++index) {
        arguments.push_back(argv[index]);
    }
    return fuse_main(static_cast<int>(arguments.size()), arguments.data(), &operations, nullptr);
}
