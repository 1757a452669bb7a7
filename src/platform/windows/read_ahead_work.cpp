// The read-ahead's work on Windows, and the find and version calls the walk and the listing make,
// served from it. The platform's own calls are named in parentheses here, so that the walk's
// macros for them (platform.h) do not apply.

#include "platform/windows/read_ahead_work.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "read_ahead/queue.h"

#ifndef FIND_FIRST_EX_LARGE_FETCH
#define FIND_FIRST_EX_LARGE_FETCH 2
#endif

namespace platform {

namespace windows {

namespace {

constexpr const char* kWildcard = "*.*";
// A version block's root is at most 64 KiB, and the platform asks for a few times that; a look
// that claims more is left to the walk's own call.
constexpr DWORD kLargestBlockReadAhead = 1u << 20;

// The find handles this layer gives out: a listing and how far it has been delivered.
struct FindListing {
    DirectoryListing listing;
    std::size_t next = 0;
};

bool Deliver(FindListing& found, WIN32_FIND_DATAA* record) {
    while (found.next < found.listing.entries.size()) {
        const ListedEntry& entry = found.listing.entries[found.next++];
        if (entry.name.size() >= sizeof record->cFileName) {
            continue;  // the platform's own record holds no longer name
        }
        std::memset(record, 0, sizeof *record);
        record->dwFileAttributes = entry.attributes;
        record->ftLastWriteTime = entry.written;
        record->nFileSizeHigh = entry.sizeHigh;
        record->nFileSizeLow = entry.sizeLow;
        std::memcpy(record->cFileName, entry.name.c_str(), entry.name.size() + 1);
        return true;
    }
    return false;
}

void LookAt(const std::string& path, VersionLook& look) {
    const std::string extended = ExtendedPath(path.c_str());
    DWORD unused = 0;
    look.size = (::GetFileVersionInfoSizeA)(extended.c_str(), &unused);
    look.sizeError = GetLastError();
    if (look.size == 0) {
        return;
    }
    if (look.size > kLargestBlockReadAhead) {
        look.loadInPlace = true;
        return;
    }
    look.block.assign(std::size_t{look.size} + 1, 0);
    look.loaded = (::GetFileVersionInfoA)(extended.c_str(), 0, look.size, look.block.data());
    look.loadError = GetLastError();
}

}  // namespace

void ListDirectory(const std::string& directory, DirectoryListing& listing) {
    listing.opened = IdentityOfDirectory(directory.c_str(), listing.identity);
    listing.error = listing.opened ? ERROR_SUCCESS : GetLastError();
    WIN32_FIND_DATAA record;
    const std::string pattern = ExtendedPath((directory + kWildcard).c_str());
    HANDLE handle = (::FindFirstFileExA)(pattern.c_str(), FindExInfoBasic, &record,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (handle == INVALID_HANDLE_VALUE) {
        listing.listError = GetLastError();
        return;
    }
    listing.listed = true;
    do {
        listing.entries.push_back({record.dwFileAttributes, record.ftLastWriteTime,
                                   record.nFileSizeHigh, record.nFileSizeLow, record.cFileName});
    } while ((::FindNextFileA)(handle, &record));
    listing.listError = GetLastError();  // the end, or the reason the listing ended before it
    (::FindClose)(handle);
}

HANDLE FindFirst(LPCSTR pattern, WIN32_FIND_DATAA* record) {
    if (pattern == nullptr || record == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string_view whole(pattern);
    if (!whole.ends_with(kWildcard)) {
        SetLastError(ERROR_INVALID_PARAMETER);  // the walk lists whole directories only
        return INVALID_HANDLE_VALUE;
    }
    const std::string directory(whole.substr(0, whole.size() - std::strlen(kWildcard)));
    auto* found = new FindListing;
    if (read_ahead::Job* job = read_ahead::WalksJob(directory, read_ahead::JobKind::List)) {
        found->listing = std::move(job->listing);
    } else {
        ListDirectory(directory, found->listing);
    }
    if (!found->listing.listed || !Deliver(*found, record)) {
        SetLastError(found->listing.listed ? ERROR_FILE_NOT_FOUND : found->listing.listError);
        delete found;
        return INVALID_HANDLE_VALUE;
    }
    return found;
}

BOOL FindNext(HANDLE listing, WIN32_FIND_DATAA* record) {
    if (listing == nullptr || listing == INVALID_HANDLE_VALUE || record == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto& found = *static_cast<FindListing*>(listing);
    if (Deliver(found, record)) {
        return TRUE;
    }
    SetLastError(found.listing.listError);
    return FALSE;
}

BOOL FindEnd(HANDLE listing) {
    if (listing == nullptr || listing == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    delete static_cast<FindListing*>(listing);
    return TRUE;
}

DWORD VersionInfoSize(LPCSTR path, LPDWORD handle) {
    if (handle != nullptr) {
        *handle = 0;
    }
    if (read_ahead::Job* job = read_ahead::WalksJob(path, read_ahead::JobKind::Look)) {
        SetLastError(job->look.sizeError);
        return job->look.size;
    }
    return (::GetFileVersionInfoSizeA)(ExtendedPath(path).c_str(), handle);
}

BOOL VersionInfo(LPCSTR path, DWORD handle, DWORD length, LPVOID data) {
    read_ahead::Job* job = read_ahead::WalksJob(path, read_ahead::JobKind::Look);
    if (job != nullptr && !job->look.loadInPlace) {
        if (!job->look.loaded || data == nullptr) {
            SetLastError(job->look.loaded ? ERROR_INVALID_PARAMETER : job->look.loadError);
            return FALSE;
        }
        std::memcpy(data, job->look.block.data(), std::min<std::size_t>(length, job->look.size));
        return TRUE;
    }
    return (::GetFileVersionInfoA)(ExtendedPath(path).c_str(), handle, length, data);
}

}  // namespace windows

void DoReadAheadJob(read_ahead::Job& job, Lookup /*lookup*/, WorkerState& /*state*/,
                    const WalkRules& rules, bool /*keepOpen*/) {
    if (job.kind == read_ahead::JobKind::Look) {
        windows::LookAt(job.path, job.look);
        return;
    }
    // The walk enters every volume on Windows (no file system there is a kernel's pseudo one),
    // so every directory is read.
    static_cast<void>(rules);
    windows::ListDirectory(job.path, job.listing);
}

std::size_t ProcessorsAllowed() {
    return std::max(std::thread::hardware_concurrency(), 1u);
}

void StartThreadsWithoutSignals(const std::function<void()>& start) {
    start();
}

}  // namespace platform
