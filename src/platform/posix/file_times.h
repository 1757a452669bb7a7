#pragma once

#include <ctime>

#include "platform/posix/windows_api.h"

namespace platform::posix {

// Marks a find record (in dwReserved0) whose times were not read: the listing delivers the kind of
// each entry from the directory itself and leaves the examination of a file to the few that need
// its time (see platform::GetLastWriteTime).
inline constexpr DWORD kTimesDeferred = 0x51544D44;

// A POSIX time stamp as a FILETIME. A time the FILETIME cannot hold (before 1601, or too far in
// the future) becomes a value that FileTimeToSystemTime refuses, never a wrong date.
FILETIME ToFileTime(const timespec& time);

}  // namespace platform::posix
