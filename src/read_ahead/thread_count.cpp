// How many threads read ahead: sixteen, whatever the machine or the device, so that a share or a
// cold disk has as many requests in flight (measured on the benchmark's share: four threads took
// twice as long as sixteen, thirty-two little less; a cold local disk of this project's kind
// serves no more than about sixteen at once). Of them, only one for each spare processor works
// from memory at a time where the platform can (see queue.h), so a warm cache is not crowded.
// Defined alone, so that a test's program can link a count of its own.
#include "read_ahead/queue.h"

namespace read_ahead {

std::size_t ThreadCount() {
    return 16;
}

}  // namespace read_ahead
