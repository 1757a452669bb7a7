#include "platform/posix/version_resources/file_source.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/posix/long_paths.h"

namespace platform::posix {

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// At namespace scope, initialised before any thread runs and never torn down before them.
std::mutex largeReadsLock;
// Held across a fork, so that a child never inherits it held by a thread it does not have.
const int largeReadsLockForks =
    pthread_atfork([] { largeReadsLock.lock(); }, [] { largeReadsLock.unlock(); },
                   [] { largeReadsLock.unlock(); });

#if defined(O_PATH)
// This process's /proc/self/fd, opened once, so that each reopen looks up one name. A child of a
// fork has descriptors of its own: it opens its own directory afresh.
std::atomic<int> descriptorDirectory{-1};
const int descriptorDirectoryForks = pthread_atfork(nullptr, nullptr, [] {
    const int inherited = descriptorDirectory.exchange(-1);
    if (inherited >= 0) {
        close(inherited);
    }
});

int DescriptorDirectory() {
    int directory = descriptorDirectory.load();
    if (directory >= 0) {
        return directory;
    }
    const int opened = open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0 || descriptorDirectory.compare_exchange_strong(directory, opened)) {
        return opened;
    }
    close(opened);  // another thread's came first
    return directory;
}

// Reopens for reading the regular file that pinned (an O_PATH descriptor) holds. Through
// /proc/self/fd the kernel opens the very file pinned, whatever its name now leads to; -1 with
// errno where that is refused.
int ReopenPinned(int pinned) {
    const int directory = DescriptorDirectory();
    if (directory < 0) {
        return -1;
    }
    char name[16];
    std::snprintf(name, sizeof name, "%d", pinned);
    return openat(directory, name, O_RDONLY | O_NOCTTY | O_CLOEXEC);
}

// False once /proc/self/fd was found missing (a system without /proc): the reopen falls back to
// opening the name again, checked to reach the file pinned, which a name switched to a device
// in between could still defeat.
std::atomic<bool> procReopens{true};

bool IsNotThere(int error) {
    return error == ENOENT || error == ENOTDIR;
}
#endif

}  // namespace

HeldDirectory::~HeldDirectory() {
    Release();
}

void HeldDirectory::Release() {
    if (descriptor >= 0) {
        close(descriptor);
        descriptor = -1;
    }
}

int HeldDirectory::Hold(std::string_view directory, const DirectoryIdentity& identity,
                        Lookup lookup) {
    if (descriptor >= 0 && held == identity && path == directory) {
        return descriptor;
    }
    Release();
    path = directory;
    const int opened = OpenPath(path.empty() ? "." : path.c_str(), kPassThroughFlags, lookup);
    struct stat status {};
    if (opened < 0 || fstat(opened, &status) != 0) {
        const int reason = errno;
        if (opened >= 0) {
            close(opened);
        }
        errno = reason;
        return -1;
    }
    held = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
    if (!(held == identity)) {
        close(opened);
        errno = ENOENT;  // not the directory listed: the file is not where it was found
        return -1;
    }
    descriptor = opened;
    return descriptor;
}

#if defined(O_PATH)
int FileSource::Pin(const char* path, const DirectoryIdentity* within, HeldDirectory* directories) {
    if (within == nullptr) {
        return OpenPath(path, O_PATH | O_CLOEXEC, lookup);
    }
    HeldDirectory forThisLook;
    HeldDirectory& held = directories != nullptr ? *directories : forThisLook;
    const char* separator = std::strrchr(path, '/');
    const std::size_t nameStart = separator != nullptr ? separator + 1 - path : 0;
    const int directory = held.Hold(std::string_view(path, nameStart), *within, lookup);
    return directory < 0 ? -1 : OpenAt(directory, path + nameStart, O_PATH | O_CLOEXEC, lookup);
}
#endif

int FileSource::OpenRegular(const char* path, const DirectoryIdentity* within,
                            HeldDirectory* directories, struct stat& opened) {
#if defined(O_PATH)
    // Pinned first: an O_PATH open never calls a device's or a FIFO's own open, so the kind is
    // checked on the very file the name led to, and only a regular file is opened for reading.
    const int pinned = Pin(path, within, directories);
    if (pinned < 0) {
        error = errno;
        return -1;
    }
    int reading = -1;
    if (fstat(pinned, &opened) != 0) {
        error = errno;
    } else if (S_ISREG(opened.st_mode)) {
        reading = ReopenForReading(pinned, path, opened);
    }
    close(pinned);
    return reading;
#else
    // Without O_PATH the kind is looked at by name before the open, and the open checked to have
    // reached the same file; a name switched to a device between the two could still be opened.
    static_cast<void>(within);
    static_cast<void>(directories);
    if (!StatPath(path, opened)) {
        error = errno;
        return -1;
    }
    return S_ISREG(opened.st_mode) ? OpenNamedAgain(path, opened) : -1;
#endif
}

#if defined(O_PATH)
int FileSource::ReopenForReading(int pinned, const char* path, const struct stat& status) {
    if (procReopens.load(std::memory_order_relaxed)) {
        const int reading = ReopenPinned(pinned);
        if (reading >= 0 || !IsNotThere(errno)) {
            error = reading < 0 ? errno : 0;
            return reading;
        }
        procReopens.store(false, std::memory_order_relaxed);  // no /proc here
    }
    return OpenNamedAgain(path, status);
}
#endif

int FileSource::OpenNamedAgain(const char* path, const struct stat& looked) {
    const int reading = OpenPath(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (reading < 0) {
        error = errno;
        return -1;
    }
    struct stat opened {};
    if (fstat(reading, &opened) != 0 || !S_ISREG(opened.st_mode) || !SameFile(looked, opened)) {
        close(reading);  // the name was pointed elsewhere between the two looks
        return -1;
    }
    return reading;
}

// A tree read through a library cannot change while it is read: the name needs no pinning. The
// library cannot tell what it would read from memory, so a look from memory only waits: the
// read-ahead then does it without a place, as on a share, where any of its threads may take it.
bool FileSource::OpenInTree(FileTree& tree, const char* path) {
    if (lookup == Lookup::FromMemory) {
        error = EAGAIN;
        return false;
    }
    TreeNode node;
    treeFile = tree.Open(path, node);
    if (treeFile == nullptr) {
        error = errno;
        return false;
    }
    fileSize = node.size;
    modified = node.modified;
    deleted = node.deleted;
    headSize = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kWindowSize));
    return ReadFully(0, head.data(), headSize);
}

bool FileSource::Open(const char* path, const DirectoryIdentity* within,
                      HeldDirectory* directories) {
    if (FileTree* tree = FileTreeInUse(); tree != nullptr && fd < 0 && treeFile == nullptr) {
        return OpenInTree(*tree, path);
    }
    struct stat opened {};
    if (fd >= 0 || (fd = OpenRegular(path, within, directories, opened)) < 0) {
        return false;
    }
    fileSize = static_cast<std::uint64_t>(opened.st_size);
    modified = opened.st_mtim;
    headSize = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kWindowSize));
    return ReadFully(0, head.data(), headSize);
}

FileSource::~FileSource() {
    if (fd >= 0) {
        close(fd);
    }
}

ssize_t FileSource::Pread(std::uint8_t* out, std::size_t count, std::uint64_t offset) const {
    if (treeFile != nullptr) {
        return treeFile->Read(offset, out, count);
    }
    if (lookup == Lookup::MayWait) {
        return pread(fd, out, count, static_cast<off_t>(offset));
    }
#if defined(RWF_NOWAIT)
    iovec into{out, count};
    const ssize_t got = preadv2(fd, &into, 1, static_cast<off_t>(offset), RWF_NOWAIT);
    if (got >= 0 || errno != EOPNOTSUPP) {
        return got;
    }
#endif
    errno = EAGAIN;  // the file system cannot tell: it may wait
    return -1;
}

bool FileSource::ReadFully(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    while (count > 0) {
        const ssize_t got = Pread(out, count, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = errno;
            return false;
        }
        if (got == 0) {
            return false;  // the file shrank since it was opened: it changed, nothing failed
        }
        out += got;
        offset += static_cast<std::uint64_t>(got);
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

std::optional<ByteView> FileSource::FromCache(std::uint64_t offset, std::size_t count) const {
    if (offset <= headSize && count <= headSize - offset) {
        return ByteView(head.data() + offset, count);
    }
    if (offset >= windowOffset && offset - windowOffset <= windowSize &&
        count <= windowSize - (offset - windowOffset)) {
        return ByteView(window.data() + (offset - windowOffset), count);
    }
    return std::nullopt;
}

std::optional<ByteView> FileSource::View(std::uint64_t offset, std::size_t count) {
    if (count > kWindowSize || !InFile(offset, count)) {
        return std::nullopt;
    }
    if (auto cached = FromCache(offset, count)) {
        return cached;
    }
    const auto size =
        static_cast<std::size_t>(std::min<std::uint64_t>(kWindowSize, fileSize - offset));
    windowSize = 0;
    if (!ReadFully(offset, window.data(), size)) {
        return std::nullopt;
    }
    windowOffset = offset;
    windowSize = size;
    return ByteView(window.data(), count);
}

std::optional<ByteView> FileSource::Read(std::uint64_t offset, std::size_t count,
                                         std::vector<std::uint8_t>& storage) {
    if (!InFile(offset, count)) {
        return std::nullopt;
    }
    if (auto cached = FromCache(offset, count)) {
        return cached;
    }
    if (count > kLargestOrdinaryRead && !largeReads.owns_lock()) {
        largeReads = std::unique_lock<std::mutex>(largeReadsLock);
    }
    storage.resize(count);
    if (!ReadFully(offset, storage.data(), count)) {
        return std::nullopt;
    }
    return ByteView(storage.data(), count);
}

bool FileSource::ReadInto(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    if (!InFile(offset, count)) {
        return false;
    }
    if (auto cached = FromCache(offset, count)) {
        std::memcpy(out, cached->data(), count);
        return true;
    }
    return ReadFully(offset, out, count);
}

}  // namespace platform::posix
