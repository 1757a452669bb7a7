#include "platform/posix/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "platform/posix/long_paths.h"

namespace platform::posix {

namespace {

bool Vanished(int error) {
    return error == ENOENT || error == ENOTDIR;
}

unsigned char KindOf(const struct stat& status, bool link) {
    return static_cast<unsigned char>((S_ISDIR(status.st_mode) ? kEntryIsDirectory : 0) |
                                      (link ? kEntryIsLink : 0));
}

}  // namespace

DWORD AttributesOf(unsigned char kind) {
    return ((kind & kEntryIsDirectory) != 0 ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL) |
           ((kind & kEntryIsLink) != 0 ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
}

OpenDirectory::OpenDirectory(const std::string& directory, DirectoryListing& listing, Lookup lookup)
    : listing(listing) {
    descriptor = OpenPath(directory.empty() ? "." : directory.c_str(),
                          O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC, lookup);
    struct stat status {};
    if (descriptor < 0 && lookup == Lookup::FromMemory && errno == EAGAIN) {
        listing.wouldWait = true;
        return;
    }
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        listing.error = errno;
        return;
    }
    listing.opened = true;
    listing.identity = {static_cast<std::uint64_t>(status.st_dev),
                        static_cast<std::uint64_t>(status.st_ino)};
}

OpenDirectory::~OpenDirectory() {
    if (descriptor >= 0) {
        close(descriptor);
    }
}

// A link is described by what it leads to, a broken one by the link itself; an entry of unknown
// kind is examined. One that cannot be examined for a reason other than being gone is delivered
// as a file, so that a candidate among them is looked at, and its failure known, there.
void OpenDirectory::Add(std::string_view name, unsigned char type) {
    unsigned char kind = type == DT_DIR ? kEntryIsDirectory : 0;
    if (type == DT_UNKNOWN || type == DT_LNK) {
        if (!Examine(std::string(name).c_str(), type, kind)) {
            return;
        }
    }
    listing.entries.push_back(static_cast<char>(kind));
    listing.entries.append(name);
    listing.entries.push_back('\0');
}

bool OpenDirectory::Examine(const char* name, unsigned char type, unsigned char& kind) const {
    struct stat status {};
    if (type == DT_UNKNOWN) {
        if (fstatat(descriptor, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return !Vanished(errno);
        }
        if (!S_ISLNK(status.st_mode)) {
            kind = KindOf(status, false);
            return true;
        }
    }
    if (fstatat(descriptor, name, &status, 0) == 0) {
        kind = KindOf(status, true);
        return true;
    }
    // Broken, or gone: a broken link is delivered as a file, the link itself.
    kind = kEntryIsLink;
    return !Vanished(errno) || fstatat(descriptor, name, &status, AT_SYMLINK_NOFOLLOW) == 0;
}

void OpenDirectory::ReadEntries() {
    if (descriptor < 0) {
        return;
    }
    // As readdir does, a read that fails ends the listing with what was read before it; its
    // reason is kept.
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
            Add(std::string_view(buffer + at + offsetof(dirent64, d_name)),
                static_cast<unsigned char>(buffer[at + offsetof(dirent64, d_type)]));
            at += length;
        }
    }
    if (got < 0) {
        listing.error = errno;
    }
#else
    DIR* stream = fdopendir(dup(descriptor));
    if (stream == nullptr) {
        listing.error = errno;
        return;
    }
    errno = 0;
    while (const dirent* entry = readdir(stream)) {
        Add(entry->d_name, entry->d_type);
        errno = 0;
    }
    listing.error = errno;
    closedir(stream);
#endif
}

DirectoryListing ListDirectory(const std::string& directory) {
    DirectoryListing listing;
    OpenDirectory(directory, listing).ReadEntries();
    return listing;
}

}  // namespace platform::posix
