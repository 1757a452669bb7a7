#include "platform/posix/errors.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

// As the platform keeps it: one for each thread.
thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD dwErrCode) {
    lastError = dwErrCode;
}

namespace platform::posix {

DWORD ErrorOf(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_DIRECTORY;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        default:
            return kErrnoError | static_cast<DWORD>(error);
    }
}

void SetLastErrno(int error) {
    SetLastError(ErrorOf(error));
}

}  // namespace platform::posix

namespace platform {

std::string ErrorText(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return std::strerror(ENOENT);
        case ERROR_DIRECTORY:
            return std::strerror(ENOTDIR);
        case ERROR_ACCESS_DENIED:
            return std::strerror(EACCES);
        case ERROR_CANT_RESOLVE_FILENAME:
            return std::strerror(ELOOP);
        case ERROR_NOT_ENOUGH_MEMORY:
            return std::strerror(ENOMEM);
        default:
            break;
    }
    if ((error & kErrnoError) != 0) {
        return std::strerror(static_cast<int>(error & ~kErrnoError));
    }
    return "error " + std::to_string(error);
}

}  // namespace platform
