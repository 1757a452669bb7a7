// Linked into the build of quillet that reads nothing ahead: its read-ahead has no threads, so the
// walk does every job itself, in place, as it reaches it. Defined here, the count is not taken
// from the tool's library.
#include "platform/posix/read_ahead.h"

namespace platform::posix {

std::size_t ReadAheadThreads() {
    return 0;
}

}  // namespace platform::posix
