// Directory listing for POSIX systems, shaped like the platform's find-first/find-next calls.
//
// A listing takes every entry of its directory at once (see directory_listing.h): from the
// read-ahead, when the walk's directory was listed ahead of it or is being listed, or else now.
// Entries are delivered with their kind and without their times, which are read only if asked
// for (platform::GetLastWriteTime), in the one look at a candidate: a tree holds many more files
// than the few whose times are listed.

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/directory_listing.h"
#include "platform/posix/errors.h"
#include "platform/posix/read_ahead.h"
#include "platform/posix/windows_api.h"

namespace {

using platform::posix::DirectoryListing;

struct FindListing {
    std::string names;  // every entry of the directory: its kind (a byte), its name, a NUL
    int readError = 0;  // errno of a read that ended the listing before its end, or 0
    std::size_t cursor = 0;
};

bool IsListAllWildcard(std::string_view component) {
    return component == "*.*" || component == "*";
}

// Only the fields a listing sets are written: the record is large, and a directory can hold
// many thousands of entries.
void FillRecord(unsigned char kind, const char* name, std::size_t length,
                WIN32_FIND_DATAA* record) {
    record->dwFileAttributes = platform::posix::AttributesOf(kind);
    record->ftCreationTime = kNoFileTime;
    record->ftLastAccessTime = kNoFileTime;
    record->ftLastWriteTime = kNoFileTime;
    record->nFileSizeHigh = 0;
    record->nFileSizeLow = 0;
    record->dwReserved0 = kTimesLeftUnread;
    record->dwReserved1 = 0;
    std::memcpy(record->cFileName, name, length + 1);
    record->cAlternateFileName[0] = '\0';
}

bool DeliverNext(FindListing& listing, WIN32_FIND_DATAA* record) {
    while (listing.cursor < listing.names.size()) {
        const auto kind = static_cast<unsigned char>(listing.names[listing.cursor]);
        const char* name = listing.names.c_str() + listing.cursor + 1;
        const std::size_t length = std::strlen(name);
        listing.cursor += length + 2;
        if (length < sizeof record->cFileName) {  // no file system gives a longer name
            FillRecord(kind, name, length, record);
            return true;
        }
    }
    return false;
}

// The walk's directory from the read-ahead, or listed now.
DirectoryListing ListingOf(const std::string& directory) {
    if (auto* queue = platform::posix::ReadAheadQueue::Active()) {
        if (platform::posix::Job* job = queue->Ask(directory, platform::posix::JobKind::List)) {
            return std::move(job->listing);
        }
    }
    return platform::posix::ListDirectory(directory);
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR lpFileName, WIN32_FIND_DATAA* lpFindFileData) {
    if (lpFileName == nullptr || lpFindFileData == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    const std::string_view pattern(lpFileName);
    const std::size_t separator = pattern.rfind('/');
    const std::size_t wildcardStart = separator == std::string_view::npos ? 0 : separator + 1;
    if (!IsListAllWildcard(pattern.substr(wildcardStart))) {
        return INVALID_HANDLE_VALUE;
    }
    DirectoryListing listing = ListingOf(std::string(pattern.substr(0, wildcardStart)));
    if (!listing.opened) {
        platform::posix::SetLastErrno(listing.error);
        return INVALID_HANDLE_VALUE;
    }
    auto* found = new FindListing{std::move(listing.entries), listing.error};
    if (!DeliverNext(*found, lpFindFileData)) {
        SetLastError(listing.error != 0 ? platform::posix::ErrorOf(listing.error)
                                        : ERROR_FILE_NOT_FOUND);
        delete found;
        return INVALID_HANDLE_VALUE;
    }
    return found;
}

BOOL FindNextFileA(HANDLE hFindFile, WIN32_FIND_DATAA* lpFindFileData) {
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE || lpFindFileData == nullptr) {
        return FALSE;
    }
    auto& listing = *static_cast<FindListing*>(hFindFile);
    if (DeliverNext(listing, lpFindFileData)) {
        return TRUE;
    }
    // As the platform's: the end, or the reason the listing ended before it.
    SetLastError(listing.readError != 0 ? platform::posix::ErrorOf(listing.readError)
                                        : ERROR_NO_MORE_FILES);
    return FALSE;
}

BOOL FindClose(HANDLE hFindFile) {
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    delete static_cast<FindListing*>(hFindFile);
    return TRUE;
}
