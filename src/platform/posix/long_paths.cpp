#include "platform/posix/long_paths.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

namespace platform::posix {

namespace {

constexpr std::size_t kLongestAcceptedPath = PATH_MAX - 1;

}  // namespace

ReachablePath::ReachablePath(const char* path) : directory(AT_FDCWD), rest(path) {
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
        const int next = openat(directory, stretch.c_str(), kPassThroughFlags);
        if (directory != AT_FDCWD) {
            close(directory);
        }
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
        close(directory);
    }
}

bool StatPath(const char* path, struct stat& status, bool followLinks) {
    const ReachablePath reachable(path);
    return reachable.Reached() && fstatat(reachable.Directory(), reachable.Rest(), &status,
                                          followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

int OpenPath(const char* path, int flags) {
    const ReachablePath reachable(path);
    return reachable.Reached() ? openat(reachable.Directory(), reachable.Rest(), flags) : -1;
}

}  // namespace platform::posix
