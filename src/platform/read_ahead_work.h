// What each platform supplies to the read-ahead (src/read_ahead): what a job yields, and the work
// itself, listing a directory and looking at a candidate. The queue, its order and its threads
// are the same for both builds.
#pragma once

#ifdef _WIN32
#include "platform/windows/read_ahead_work.h"
#else
#include "platform/posix/read_ahead_work.h"
#endif
