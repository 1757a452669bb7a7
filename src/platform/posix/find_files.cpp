// Directory listing for POSIX systems, shaped like the platform's find-first/find-next calls.
//
// A listing reads every name of its directory at once and closes the directory again, so that a
// walk thousands of levels deep holds no file descriptor per level. Where the directory tells an
// entry's kind (a plain file or a directory), the entry is delivered without being examined and
// its times are read only if asked for (platform::GetLastWriteTime): a tree holds many more files
// than the few whose times are listed. Links and entries of unknown kind are examined (stat) when
// they are delivered, so that a link to a directory is entered and one that vanished is passed
// over.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/file_times.h"
#include "platform/posix/find_files.h"
#include "platform/posix/long_paths.h"
#include "platform/posix/read_ahead.h"
#include "platform/posix/windows_api.h"

namespace {

struct FindListing {
    std::string directory;  // ends in a separator, or is empty for the current directory
    std::string names;      // every entry of the directory: its kind (a byte), its name, a NUL
    std::size_t cursor = 0;
    std::string entryPath;  // reused for each entry, so that delivering one allocates nothing
};

bool IsListAllWildcard(std::string_view component) {
    return component == "*.*" || component == "*";
}

void FillRecord(const char* name, const struct stat& status, bool link, WIN32_FIND_DATAA* record) {
    std::memset(record, 0, sizeof *record);
    record->dwFileAttributes =
        S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    if (link) {
        record->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    record->ftCreationTime = platform::posix::ToFileTime(status.st_ctim);
    record->ftLastAccessTime = platform::posix::ToFileTime(status.st_atim);
    record->ftLastWriteTime = platform::posix::ToFileTime(status.st_mtim);
    const auto size = static_cast<std::uint64_t>(status.st_size);
    record->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    record->nFileSizeLow = static_cast<DWORD>(size);
    std::strcpy(record->cFileName, name);
}

void FillUnexamined(const char* name, bool directory, WIN32_FIND_DATAA* record) {
    std::memset(record, 0, sizeof *record);
    record->dwFileAttributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    record->dwReserved0 = kTimesLeftUnread;
    record->ftCreationTime = kNoFileTime;
    record->ftLastAccessTime = kNoFileTime;
    record->ftLastWriteTime = kNoFileTime;
    std::strcpy(record->cFileName, name);
}

// A link is described by what it points to (a broken one by the link itself), and link says that it
// was one. False when the entry has gone.
bool ExamineEntry(const char* path, unsigned char kind, struct stat& status, bool& link) {
    using platform::posix::StatPath;
    link = kind == DT_LNK;
    if (!link) {
        if (!StatPath(path, status, false)) {
            return false;
        }
        link = S_ISLNK(status.st_mode);
    }
    return !link || StatPath(path, status) || StatPath(path, status, false);
}

// Delivers the next entry that, if it had to be examined, exists.
bool DeliverNext(FindListing& listing, WIN32_FIND_DATAA* record) {
    while (listing.cursor < listing.names.size()) {
        const auto kind = static_cast<unsigned char>(listing.names[listing.cursor]);
        const char* name = listing.names.c_str() + listing.cursor + 1;
        const std::size_t length = std::strlen(name);
        listing.cursor += length + 2;
        if (length >= sizeof record->cFileName) {
            continue;  // no file system gives such a name; the record could not hold it
        }
        if (kind == DT_DIR || kind == DT_REG) {
            FillUnexamined(name, kind == DT_DIR, record);
            return true;
        }
        listing.entryPath.assign(listing.directory).append(name, length);
        struct stat status {};
        bool link = false;
        if (!ExamineEntry(listing.entryPath.c_str(), kind, status, link)) {
            continue;
        }
        FillRecord(name, status, link, record);
        return true;
    }
    return false;
}

}  // namespace

namespace platform::posix {

namespace {

void AppendEntry(std::string& entries, unsigned char kind, std::string_view name) {
    entries.push_back(static_cast<char>(kind));
    entries.append(name);
    entries.push_back('\0');
}

}  // namespace

bool ReadDirectoryEntries(const std::string& directory, std::string& entries) {
    const int descriptor = OpenPath(directory.empty() ? "." : directory.c_str(),
                                    O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    // As readdir does, a read that fails ends the listing with what was read before it.
#if defined(__linux__)
    // Straight from the kernel's records: opendir would also fstat the directory and allocate a
    // buffer, once for each of a tree's thousands of directories.
    alignas(8) char buffer[32 * 1024];
    ssize_t got = 0;
    while ((got = getdents64(descriptor, buffer, sizeof buffer)) > 0) {
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            unsigned short length = 0;
            std::memcpy(&length, buffer + at + offsetof(dirent64, d_reclen), sizeof length);
            if (length <= offsetof(dirent64, d_name) ||
                length > static_cast<std::size_t>(got) - at) {
                break;
            }
            AppendEntry(entries,
                        static_cast<unsigned char>(buffer[at + offsetof(dirent64, d_type)]),
                        std::string_view(buffer + at + offsetof(dirent64, d_name)));
            at += length;
        }
    }
    close(descriptor);
#else
    DIR* stream = fdopendir(descriptor);
    if (stream == nullptr) {
        close(descriptor);
        return false;
    }
    while (const dirent* entry = readdir(stream)) {
        AppendEntry(entries, entry->d_type, entry->d_name);
    }
    closedir(stream);
#endif
    return true;
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
    auto* listing = new FindListing;
    listing->directory.assign(pattern.substr(0, wildcardStart));
    // Listed ahead of the walk, its entries then already handed to the read-ahead; or now.
    const std::optional<struct stat> status =
        platform::posix::TakeNotedDirectoryStatus(listing->directory);
    std::optional<std::string> ahead =
        platform::posix::TakeReadAheadListing(listing->directory, status);
    if (ahead) {
        listing->names = std::move(*ahead);
    } else if (platform::posix::ReadDirectoryEntries(listing->directory, listing->names)) {
        platform::posix::ReadAheadInDirectory(listing->directory, status, listing->names);
    } else {
        delete listing;
        return INVALID_HANDLE_VALUE;
    }
    if (!DeliverNext(*listing, lpFindFileData)) {
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
