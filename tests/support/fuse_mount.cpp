#include "support/fuse_mount.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace test_support {

FuseMount::FuseMount(const std::vector<std::string>& options, const std::string& backing,
                     const std::string& mountPoint)
    : mountPoint(mountPoint) {
#ifdef QUILLET_PASSTHROUGH_FS
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        refusal = "/dev/fuse cannot be used here";
        return;
    }
    server = fork();
    if (server == 0) {
        const int nowhere = open("/dev/null", O_RDWR);
        dup2(nowhere, STDOUT_FILENO);
        dup2(nowhere, STDERR_FILENO);
        std::vector<const char*> arguments = {QUILLET_PASSTHROUGH_FS};
        for (const std::string& option : options) {
            arguments.push_back(option.c_str());
        }
        for (const char* argument : {backing.c_str(), mountPoint.c_str(), "-f", "-o", "ro"}) {
            arguments.push_back(argument);
        }
        arguments.push_back(nullptr);
        execv(QUILLET_PASSTHROUGH_FS, const_cast<char* const*>(arguments.data()));
        _exit(127);
    }
    struct stat mounted {};
    struct stat parent {};
    stat((mountPoint + "/..").c_str(), &parent);
    for (int tries = 0; tries < 500; ++tries) {
        if (stat(mountPoint.c_str(), &mounted) == 0 && mounted.st_dev != parent.st_dev) {
            return;
        }
        int status = 0;
        if (waitpid(server, &status, WNOHANG) == server) {
            server = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    refusal = "the FUSE file system could not be mounted here";
#else
    static_cast<void>(options);
    static_cast<void>(backing);
    refusal = "libfuse3 was not found when the tests were built";
#endif
}

FuseMount::~FuseMount() {
    if (server > 0) {
        // Lazily, should the daemon have ended: its mount stays until unmounted.
        const std::string unmount = "fusermount3 -uz '" + mountPoint + "' 2>/dev/null";
        if (std::system(unmount.c_str()) != 0) {
            kill(server, SIGTERM);
        }
        waitpid(server, nullptr, 0);
    }
}

}  // namespace test_support
