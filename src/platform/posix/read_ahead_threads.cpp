// How many threads read ahead: sixteen, whatever the machine or the device, so that a share or a
// cold disk has as many requests in flight (measured on the benchmark's share: four threads took
// twice as long as sixteen, thirty-two little less; a cold local disk of this project's kind
// serves no more than about sixteen at once). Of them, only one for each spare processor works
// from memory at a time (see read_ahead.h), so a warm cache is not crowded. Defined alone, so
// that a test's program can link a count of its own.
#include "platform/posix/read_ahead.h"

namespace platform::posix {

std::size_t ReadAheadThreads() {
    return 16;
}

}  // namespace platform::posix
