// Linked into the build of quillet that reads nothing ahead: its read-ahead has no threads, so the
// walk does every job itself, in place, as it reaches it. Defined here, the count is not taken
// from the tool's library.
#include "read_ahead/queue.h"

namespace read_ahead {

std::size_t ThreadCount() {
    return 0;
}

}  // namespace read_ahead
