// Paths of any length for POSIX systems. The kernel refuses a path of PATH_MAX bytes or more, but a
// walk can go deeper than that: such a path is reached relative to a descriptor of a directory near
// its end, opened a stretch of whole components at a time. A shorter path costs nothing extra.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/platform.h"

namespace platform::posix {

// Opening a directory only to pass through it or to look at it needs no right to read it.
#if defined(O_PATH)
inline constexpr int kPassThroughFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
inline constexpr int kPassThroughFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
inline constexpr int kPassThroughFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Whether an open may wait for the device to find the path, or must be served from what the
// kernel holds in memory (it fails with EAGAIN otherwise).
using Lookup = platform::Lookup;

class ReachablePath {
  public:
    explicit ReachablePath(const char* path, Lookup lookup = Lookup::MayWait);
    ~ReachablePath();
    ReachablePath(const ReachablePath&) = delete;
    ReachablePath& operator=(const ReachablePath&) = delete;

    // False when a directory on the way could not be opened; the path is then not reachable.
    bool Reached() const { return reached; }
    // The directory the rest is relative to: AT_FDCWD for a short path.
    int Directory() const { return directory; }
    const char* Rest() const { return rest; }

  private:
    int directory;
    const char* rest;
    bool reached = true;
};

// stat, lstat (followLinks false) and open for paths of any length.
bool StatPath(const char* path, struct stat& status, bool followLinks = true);
int OpenPath(const char* path, int flags, Lookup lookup = Lookup::MayWait);

// openat, with the lookup as asked. Where the kernel cannot serve a lookup from memory alone
// (before Linux 5.12, or another system), FromMemory fails with EAGAIN.
int OpenAt(int directory, const char* path, int flags, Lookup lookup);

}  // namespace platform::posix
