// A FUSE file system of the project's own (tools/fuse/passthrough_fs), mounted for one test: it
// passes a directory through, showing longer names than local ones (--stretch-names), slow as a
// share (--latency-us N), or failing as a share fails (--fail-list, --fail-open, --fail-read,
// --end-after).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace test_support {

class FuseMount {
  public:
    // Mounts backing at mountPoint, read-only, with the file system's options.
    FuseMount(const std::vector<std::string>& options, const std::string& backing,
              const std::string& mountPoint);
    ~FuseMount();
    FuseMount(const FuseMount&) = delete;
    FuseMount& operator=(const FuseMount&) = delete;

    // Why it could not be mounted here (for the test to skip, saying so); empty when mounted.
    const std::string& Refusal() const { return refusal; }

  private:
    std::string mountPoint;
    pid_t server = -1;
    std::string refusal;
};

}  // namespace test_support
