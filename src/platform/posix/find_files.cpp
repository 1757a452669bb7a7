// Directory listing for POSIX systems, shaped like the platform's find-first/find-next calls.
//
// A listing delivers its directory a piece at a time (see directory_listing.h). The first piece
// comes from the read-ahead, when the walk's directory was listed ahead of it or is being listed
// (a directory that ends within it, as nearly all do, needs nothing more); a larger directory is
// opened again here, checked to be the same directory, and read on a piece at a time as the walk
// goes, each piece handed to the read-ahead so that its files are looked at ahead of the walk.
// Entries are delivered with their kind and without their times, which are read only if asked
// for (platform::GetLastWriteTime), in the one look at a candidate: a tree holds many more files
// than the few whose times are listed.

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/directory_listing.h"
#include "platform/posix/errors.h"
#include "platform/posix/windows_api.h"
#include "platform/read_ahead_work.h"

namespace {

using platform::posix::DirectoryListing;
using platform::posix::DirectoryReader;

// Directories held open while the walk goes through them, a piece at a time: one per level of a
// walk through large directories, so bounded against a tree that nests them thousands deep.
// Beyond the bound, the rest of a directory is read at once.
constexpr std::size_t kMostHeldOpen = 256;

struct FindListing {
    std::string directory;  // ending in the separator
    platform::DirectoryIdentity identity;
    int depth = 0;           // of the directory in the walk, where the read-ahead knows it
    bool readAhead = false;  // its pieces are handed to the read-ahead
    std::string names;       // of the piece being delivered: its kind (a byte), its name, a NUL
    std::size_t cursor = 0;
    // The piece after it, read as soon as this one is taken, so that the read-ahead has its
    // files to look at before the walk gets there.
    std::string nextNames;
    int readError = 0;       // errno of a read that ended the listing before its end, or 0
    DirectoryReader reader;  // open while pieces remain
};

// The listings open, the innermost last: the walk's thread only.
std::vector<FindListing*> openListings;
std::size_t heldOpen = 0;

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

// Reads the piece after the one being delivered, and hands it to the read-ahead.
void ReadPieceAhead(FindListing& listing) {
    if (!listing.reader.IsOpen()) {
        return;
    }
    DirectoryListing piece;
    listing.reader.ReadPiece(piece);
    if (piece.complete) {
        heldOpen -= 1;
        listing.readError = piece.error;
    }
    platform::WalkJobs* jobs = platform::ActiveWalkJobs();
    if (listing.readAhead && jobs != nullptr) {
        jobs->Listed(listing.directory, listing.depth, listing.identity, piece);
    }
    listing.nextNames = std::move(piece.entries);
}

// Takes the next piece to deliver; false at the end.
bool TakeNextPiece(FindListing& listing) {
    if (listing.nextNames.empty() && !listing.reader.IsOpen()) {
        return false;
    }
    listing.names = std::move(listing.nextNames);
    listing.nextNames.clear();
    listing.cursor = 0;
    ReadPieceAhead(listing);
    return true;
}

bool DeliverNext(FindListing& listing, WIN32_FIND_DATAA* record) {
    do {
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
    } while (TakeNextPiece(listing));
    return false;
}

// Reads the directory on here: from where the walk's own listing job stopped, when it is still
// open, or else opened again, from its first piece (the same directory that was listed ahead, if
// it was); false, with the platform's error set, when it cannot be.
bool ListHere(FindListing& found, platform::ReadAheadJob* job) {
    if (job != nullptr && job->reader.IsOpen()) {
        found.reader = std::move(job->reader);
        found.identity = job->listing.identity;
        found.nextNames = std::move(job->listing.entries);  // its first piece, queued already
        ++heldOpen;
    } else {
        DirectoryListing opened;
        if (!found.reader.Open(found.directory, opened)) {
            platform::posix::SetLastErrno(opened.error);
            return false;
        }
        if (job != nullptr && !(opened.identity == job->listing.identity)) {
            SetLastError(ERROR_FILE_NOT_FOUND);  // switched for another since: passed over
            return false;
        }
        found.identity = opened.identity;
        ++heldOpen;
        ReadPieceAhead(found);
    }
    TakeNextPiece(found);
    // Beyond the bound on directories held open, the rest is read now.
    while (found.reader.IsOpen() && heldOpen > kMostHeldOpen) {
        found.names += found.nextNames;
        found.nextNames.clear();
        ReadPieceAhead(found);
    }
    return true;
}

// The walk's directory from the read-ahead, or listed now.
FindListing* StartListing(const std::string& directory) {
    auto* found = new FindListing;
    found->directory = directory;
    platform::ReadAheadJob* job = platform::WalksJob(directory, platform::JobKind::List);
    if (job != nullptr && !job->listing.opened) {
        platform::posix::SetLastErrno(job->listing.error);
        delete found;
        return nullptr;
    }
    if (job != nullptr && job->listing.complete) {
        found->identity = job->listing.identity;
        found->names = std::move(job->listing.entries);
        found->readError = job->listing.error;
        return found;
    }
    found->readAhead = job != nullptr;
    found->depth = job != nullptr ? job->depth : 0;
    if (!ListHere(*found, job)) {
        delete found;
        return nullptr;
    }
    return found;
}

}  // namespace

namespace platform::posix {

std::optional<DirectoryIdentity> ListedDirectoryOf(std::string_view path) {
    const std::string_view directory = path.substr(0, path.rfind(kPathSeparator) + 1);
    const auto listing =
        std::find_if(openListings.rbegin(), openListings.rend(),
                     [directory](const FindListing* open) { return open->directory == directory; });
    if (listing == openListings.rend()) {
        return std::nullopt;
    }
    return (*listing)->identity;
}

}  // namespace platform::posix

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
    FindListing* found = StartListing(std::string(pattern.substr(0, wildcardStart)));
    if (found == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    if (!DeliverNext(*found, lpFindFileData)) {
        SetLastError(found->readError != 0 ? platform::posix::ErrorOf(found->readError)
                                           : ERROR_FILE_NOT_FOUND);
        delete found;
        return INVALID_HANDLE_VALUE;
    }
    openListings.push_back(found);
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
    auto* listing = static_cast<FindListing*>(hFindFile);
    const auto open = std::find(openListings.begin(), openListings.end(), listing);
    if (open == openListings.end()) {
        return FALSE;  // not a listing of ours, or closed already
    }
    openListings.erase(open);
    if (listing->reader.IsOpen()) {
        heldOpen -= 1;
    }
    delete listing;
    return TRUE;
}
