#pragma once

#include <ctime>

#include "platform/posix/windows_api.h"

namespace platform::posix {

// A POSIX time stamp as a FILETIME. A time the FILETIME cannot hold (before 1601, or too far in
// the future) becomes a value that FileTimeToSystemTime refuses, never a wrong date.
FILETIME ToFileTime(const timespec& time);

}  // namespace platform::posix
