// What the walk could not read, so that a listing cut short by a failing device or connection is
// never taken for a complete one, nor one that could not be read for want of permission. Passed
// over silently: what vanished or changed kind while the walk ran, and every file that is not a
// candidate or holds no version information. Anything else that fails is noted here, and the walk
// goes on with what it can read.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"

// Whether a failure to list a directory (GetDirectoryIdentity, FindFirstFileA, FindNextFileA)
// leaves the listing incomplete: every error but the end of the listing and a name that has gone
// or is no directory.
bool ListingFailureCounts(DWORD error);
// The same for a candidate whose version information could not be loaded: no permission, an error
// of the device or the connection, never a file that merely holds no version information.
bool FileFailureCounts(DWORD error);

struct ReadFailure {
    std::string path;
    DWORD error;
    std::string reason;  // in place of the error's text, where a library tells it
};

// The failures of the run, the first kKept of them whole and the rest counted.
class ReadFailures {
  public:
    static constexpr std::size_t kKept = 20;
    void Note(std::string path, DWORD error);
    void Note(std::string path, std::string reason);
    // What the paths noted from now on lie within, written before each (a disk image's file
    // system: "disk.img:2@2048:"); empty for the host's.
    void SetPlace(std::string within) { place = std::move(within); }
    const std::vector<ReadFailure>& First() const { return first; }
    std::size_t Count() const { return count; }

  private:
    std::vector<ReadFailure> first;
    std::size_t count = 0;
    std::string place;
};

// The run's: noted by the walk and the per-file step, reported by the run.
extern ReadFailures FailedReads;

// Reports on standard error, as program, each path that could not be read with its reason, the
// first few of them, then how many more.
void ReportFailedReads(const char* program);
