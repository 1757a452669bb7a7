// The POSIX side of the few helpers that the platform headers do not provide.

#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/file_times.h"

namespace platform {

bool GetDirectoryIdentity(const char* directory, DirectoryIdentity& identity) {
    struct stat status {};
    if (stat(directory, &status) != 0 || !S_ISDIR(status.st_mode)) {
        return false;
    }
    identity.volume = static_cast<std::uint64_t>(status.st_dev);
    identity.index = static_cast<std::uint64_t>(status.st_ino);
    return true;
}

bool GetLastWriteTime(const char* path, const WIN32_FIND_DATAA& record, FILETIME& time) {
    if (record.dwReserved0 != posix::kTimesDeferred) {
        time = record.ftLastWriteTime;
        return true;
    }
    struct stat status {};
    if (stat(path, &status) != 0) {
        return false;
    }
    time = posix::ToFileTime(status.st_mtim);
    return true;
}

void ContainVersionBlock(unsigned char* /*block*/, DWORD /*size*/) {
    // GetFileVersionInfoA has already bound the root's length to what it read.
}

bool StandardOutputIsConsole() {
    return isatty(STDOUT_FILENO) == 1;
}

bool TextIsUtf8() {
    return true;
}

}  // namespace platform
