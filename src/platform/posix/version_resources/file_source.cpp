#include "platform/posix/version_resources/file_source.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

}  // namespace

FileIdentity IdentityOf(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            static_cast<std::uint64_t>(status.st_size), status.st_mtim.tv_sec,
            status.st_mtim.tv_nsec};
}

bool FileSource::Open(const char* path) {
    // Looked at before opening: opening a device node can have effects of its own.
    struct stat named {};
    if (fd >= 0 || !StatPath(path, named) || !S_ISREG(named.st_mode)) {
        return false;
    }
    fd = OpenPath(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat opened {};
    // The name may have been pointed elsewhere between the two looks.
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || !SameFile(named, opened)) {
        return false;
    }
    fileSize = static_cast<std::uint64_t>(opened.st_size);
    identity = IdentityOf(opened);
    headSize = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kWindowSize));
    return ReadFully(0, head.data(), headSize);
}

FileSource::~FileSource() {
    if (fd >= 0) {
        close(fd);
    }
}

bool FileSource::ReadFully(std::uint64_t offset, std::uint8_t* out, std::size_t count) const {
    while (count > 0) {
        const ssize_t got = pread(fd, out, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;  // an error, or the file shrank since it was opened
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
