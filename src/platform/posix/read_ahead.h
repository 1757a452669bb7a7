// Read-ahead for slow disks and network shares: while the walk works through a directory, a small
// pool of threads already makes the one look at each of its candidate files (see
// version_resources/examined_file.h) and lists its subdirectories, so that the file system's
// latency overlaps. The walk takes each result when it reaches the file or directory; one that is
// not ready, or whose file or directory has changed since (device, inode, size or time differ),
// is done in place as without read-ahead. It runs only while looks at files take long enough for
// it to pay: on a warm cache it stays out of the way. Only what the walk will read is read:
// candidate files by name, of the kind the directory reports as a regular file, and
// subdirectories the directory reports as such, not named with a leading dot, on the same device
// (never a mount, so never a pseudo file system) and within the walk's depth and path bounds.
// Bounded: a fixed number of threads, of results kept, of names queued.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/version_resources/examined_file.h"

namespace platform::posix {

// The walk looks at each directory's status (to tell where it has been) just before it lists
// it; the read-ahead takes that look instead of making its own.
void NoteDirectoryStatus(const char* directory, const struct stat& status);
// The status noted for directory, once; none if another directory was noted since.
std::optional<struct stat> TakeNotedDirectoryStatus(const std::string& directory);

// The walk listed a directory: its entries, each a kind byte (as readdir gives it), the name and
// a NUL, in the order the walk will meet them; directory ends in a separator (or is empty), and
// status is its status if it was noted.
void ReadAheadInDirectory(const std::string& directory, const std::optional<struct stat>& status,
                          std::string_view entries);

// The entries of directory (as ReadDirectoryEntries gives them) read ahead, if they were and the
// directory has not changed since (as status, if noted, or a fresh look shows it). The entries'
// own files and subdirectories are then already being read ahead.
std::optional<std::string> TakeReadAheadListing(const std::string& directory,
                                                const std::optional<struct stat>& status);

// The look at path made ahead, if it was made and the file is still the one looked at.
std::optional<Examination> TakeReadAhead(const char* path);

// Looks at a file and notes how long it took. Reading ahead costs threads and locks; it is worth
// that only where looks are slow (a cold disk, a share), so it starts only once they are.
Examination LookAtFileTimed(const char* path);

// For the tests: read ahead whatever looks cost, so that a local disk exercises it too; and wait
// (ten seconds at most) until everything queued has been read.
void ReadAheadAlways(bool always);
void WaitUntilReadAheadIdle();
// For the tests, each a run of its own: drops everything read ahead or queued, and the
// directories listed.
void ForgetReadAhead();

}  // namespace platform::posix
