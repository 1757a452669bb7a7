#include "platform/posix/long_paths.h"

#include <unistd.h>
#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

namespace platform::posix {

namespace {

constexpr std::size_t kLongestAcceptedPath = PATH_MAX - 1;

}  // namespace

int OpenAt(int directory, const char* path, int flags, Lookup lookup) {
    if (lookup == Lookup::MayWait) {
        return openat(directory, path, flags);
    }
#if defined(__linux__) && defined(SYS_openat2) && defined(RESOLVE_CACHED)
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_CACHED;
    const long opened = syscall(SYS_openat2, directory, path, &how, sizeof how);
    if (opened >= 0 || (errno != ENOSYS && errno != EINVAL)) {
        return static_cast<int>(opened);
    }
#endif
    errno = EAGAIN;
    return -1;
}

ReachablePath::ReachablePath(const char* path, Lookup lookup) : directory(AT_FDCWD), rest(path) {
    std::string stretch;
    // Each round consumes at least one byte, so the loop ends.
    while (std::strlen(rest) > kLongestAcceptedPath) {
        // The longest run of whole components the kernel takes in one call.
        std::size_t cut = kLongestAcceptedPath;
        while (cut > 0 && rest[cut] != '/') {
            --cut;
        }
        if (rest[cut] != '/') {
            reached = false;  // one component longer than any call accepts
            return;
        }
        stretch.assign(rest, cut == 0 ? 1 : cut);  // a leading "/" alone names the root
        const int next = OpenAt(directory, stretch.c_str(), kPassThroughFlags, lookup);
        const int error = errno;
        if (directory != AT_FDCWD) {
            close(directory);
        }
        errno = error;
        directory = next;
        if (directory < 0) {
            directory = AT_FDCWD;
            reached = false;
            return;
        }
        rest += cut;
        while (*rest == '/') {
            ++rest;
        }
    }
    if (*rest == '\0') {
        rest = ".";  // the path named the directory itself, with a trailing separator
    }
}

ReachablePath::~ReachablePath() {
    if (directory != AT_FDCWD) {
        const int error = errno;  // the caller's call is the one to tell why it failed
        close(directory);
        errno = error;
    }
}

bool StatPath(const char* path, struct stat& status, bool followLinks) {
    const ReachablePath reachable(path);
    return reachable.Reached() && fstatat(reachable.Directory(), reachable.Rest(), &status,
                                          followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

int OpenPath(const char* path, int flags, Lookup lookup) {
    const ReachablePath reachable(path, lookup);
    return reachable.Reached() ? OpenAt(reachable.Directory(), reachable.Rest(), flags, lookup)
                               : -1;
}

}  // namespace platform::posix
