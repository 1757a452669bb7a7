// Read-ahead: a small pool of threads runs ahead of the walk in the walk's own order, listing the
// directories it will enter and making the one look at each candidate file (see
// version_resources/examined_file.h), so that on a cold disk or a share the file system's latency
// overlaps, and on a warm cache the work shares the processors. The walk takes each result when
// it reaches the file or directory; one that is not ready, or whose file or directory has changed
// since (device, inode, size or time differ), is done in place as without read-ahead; while it
// waits for one being read, the walk's thread takes on the next job itself. Only what the walk
// will read is read: candidate files by name, of the kind the directory reports as a regular
// file, and subdirectories the directory reports as such, not named with a leading dot, on their
// parent's device (never a mount, so never a pseudo file system), listed once, and within the
// walk's depth and path bounds. Bounded: a fixed number of threads, of results kept and of paths
// queued.
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

// Looks at a file and notes whether it waited on the device. Many threads pay only where looks
// wait (a cold disk, a share); while they do not, there is one for each processor beside the
// walk's, and none on a single processor.
Examination LookAtFileTimed(const char* path);

// For the tests: read ahead with every thread whatever looks cost, so that a local disk exercises
// it too; and wait (ten seconds at most) until everything queued that there is room for is read.
void ReadAheadAlways(bool always);
void WaitUntilReadAheadIdle();
// For the tests, each a run of its own: drops everything read ahead or queued, and the
// directories listed.
void ForgetReadAhead();

}  // namespace platform::posix
