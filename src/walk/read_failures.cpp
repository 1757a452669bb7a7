#include "walk/read_failures.h"

#include <algorithm>
#include <array>
#include <cstdio>

ReadFailures FailedReads;

namespace {

// What the walk passes over silently: gone, changed kind, a name the platform refuses. No
// permission is not among them: what could not be read leaves the listing incomplete.
constexpr std::array<DWORD, 6> kPassedOver = {
    ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,        ERROR_DIRECTORY,
    ERROR_INVALID_NAME,   ERROR_CANT_RESOLVE_FILENAME, ERROR_NO_MORE_FILES};

bool IsPassedOver(DWORD error) {
    return std::find(kPassedOver.begin(), kPassedOver.end(), error) != kPassedOver.end();
}

}  // namespace

bool ListingFailureCounts(DWORD error) {
    return error != ERROR_SUCCESS && !IsPassedOver(error);
}

bool FileFailureCounts(DWORD error) {
#if defined(_WIN32)
    // The platform's library answers a file without version information with codes of its own
    // choosing; only a file it may not read, a failing device or a connection counts.
    constexpr std::array<DWORD, 15> kDeviceOrConnection = {ERROR_NOT_ENOUGH_MEMORY,
                                                           ERROR_OUTOFMEMORY,
                                                           ERROR_NOT_READY,
                                                           ERROR_CRC,
                                                           ERROR_READ_FAULT,
                                                           ERROR_GEN_FAILURE,
                                                           ERROR_BAD_NETPATH,
                                                           ERROR_NETNAME_DELETED,
                                                           ERROR_UNEXP_NET_ERR,
                                                           ERROR_NETWORK_BUSY,
                                                           ERROR_SEM_TIMEOUT,
                                                           ERROR_IO_DEVICE,
                                                           ERROR_DEVICE_NOT_CONNECTED,
                                                           ERROR_VC_DISCONNECTED,
                                                           ERROR_ACCESS_DENIED};
    return std::find(kDeviceOrConnection.begin(), kDeviceOrConnection.end(), error) !=
           kDeviceOrConnection.end();
#else
    // The POSIX layer carries every errno but the silent ones whole; no version information is
    // ERROR_RESOURCE_TYPE_NOT_FOUND.
    return (error & kErrnoError) != 0 || error == ERROR_NOT_ENOUGH_MEMORY ||
           error == ERROR_ACCESS_DENIED;
#endif
}

void ReadFailures::Note(std::string path, DWORD error) {
    if (first.size() < kKept) {
        first.push_back({place + path, error, {}});
    }
    ++count;
}

void ReadFailures::Note(std::string path, std::string reason) {
    if (first.size() < kKept) {
        first.push_back({place + path, ERROR_SUCCESS, std::move(reason)});
    }
    ++count;
}

void ReportFailedReads(const char* program) {
    for (const ReadFailure& failure : FailedReads.First()) {
        std::fprintf(stderr, "%s: cannot read '%s': %s\n", program, failure.path.c_str(),
                     failure.reason.empty() ? platform::ErrorText(failure.error).c_str()
                                            : failure.reason.c_str());
    }
    if (FailedReads.Count() > FailedReads.First().size()) {
        std::fprintf(stderr, "%s: and %zu more could not be read\n", program,
                     FailedReads.Count() - FailedReads.First().size());
    }
}
