// Directory listing for POSIX systems, shaped like the platform's find-first/find-next calls.
//
// A listing reads every name of its directory at once and closes the directory again, so that a
// walk thousands of levels deep holds no file descriptor per level. Each entry is examined (stat)
// only when it is delivered, so a file removed meanwhile is passed over rather than reported with
// stale data.

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/file_times.h"
#include "platform/posix/windows_api.h"

namespace {

struct FindListing {
    std::string directory;  // ends in a separator, or is empty for the current directory
    std::string names;      // every name of the directory, each followed by a NUL
    std::size_t cursor = 0;
    std::string entryPath;  // reused for each entry, so that delivering one allocates nothing
};

bool IsListAllWildcard(std::string_view component) {
    return component == "*.*" || component == "*";
}

bool ReadAllNames(const std::string& directory, std::string& names) {
    DIR* stream = opendir(directory.empty() ? "." : directory.c_str());
    if (stream == nullptr) {
        return false;
    }
    while (const dirent* entry = readdir(stream)) {
        names.append(entry->d_name);
        names.push_back('\0');
    }
    closedir(stream);
    return true;
}

void FillRecord(const char* name, const struct stat& status, WIN32_FIND_DATAA* record) {
    std::memset(record, 0, sizeof *record);
    record->dwFileAttributes =
        S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    record->ftCreationTime = platform::posix::ToFileTime(status.st_ctim);
    record->ftLastAccessTime = platform::posix::ToFileTime(status.st_atim);
    record->ftLastWriteTime = platform::posix::ToFileTime(status.st_mtim);
    const auto size = static_cast<std::uint64_t>(status.st_size);
    record->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    record->nFileSizeLow = static_cast<DWORD>(size);
    std::strcpy(record->cFileName, name);
}

// Delivers the next entry that still exists and whose name fits the record.
bool DeliverNext(FindListing& listing, WIN32_FIND_DATAA* record) {
    while (listing.cursor < listing.names.size()) {
        const char* name = listing.names.c_str() + listing.cursor;
        const std::size_t length = std::strlen(name);
        listing.cursor += length + 1;
        if (length >= sizeof record->cFileName) {
            continue;
        }
        listing.entryPath.assign(listing.directory).append(name, length);
        struct stat status {};
        // A link is described by what it points to; a broken one by the link itself.
        if (stat(listing.entryPath.c_str(), &status) != 0 &&
            lstat(listing.entryPath.c_str(), &status) != 0) {
            continue;
        }
        FillRecord(name, status, record);
        return true;
    }
    return false;
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
    auto* listing = new FindListing;
    listing->directory.assign(pattern.substr(0, wildcardStart));
    if (!ReadAllNames(listing->directory, listing->names) ||
        !DeliverNext(*listing, lpFindFileData)) {
        delete listing;
        return INVALID_HANDLE_VALUE;
    }
    return listing;
}

BOOL FindNextFileA(HANDLE hFindFile, WIN32_FIND_DATAA* lpFindFileData) {
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE || lpFindFileData == nullptr) {
        return FALSE;
    }
    return DeliverNext(*static_cast<FindListing*>(hFindFile), lpFindFileData) ? TRUE : FALSE;
}

BOOL FindClose(HANDLE hFindFile) {
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    delete static_cast<FindListing*>(hFindFile);
    return TRUE;
}
