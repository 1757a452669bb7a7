#include "platform/posix/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include "platform/posix/long_paths.h"

namespace platform::posix {

namespace {

#if !defined(__linux__)
// Elsewhere a piece is this many entries of readdir's.
constexpr std::size_t kEntriesInAPiece = 1024;
#endif

bool Vanished(int error) {
    return error == ENOENT || error == ENOTDIR;
}

unsigned char KindOf(const struct stat& status, bool link) {
    return static_cast<unsigned char>((S_ISDIR(status.st_mode) ? kEntryIsDirectory : 0) |
                                      (link ? kEntryIsLink : 0));
}

DirectoryIdentity IdentityOf(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace

DWORD AttributesOf(unsigned char kind) {
    return ((kind & kEntryIsDirectory) != 0 ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL) |
           ((kind & kEntryIsLink) != 0 ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
}

DirectoryReader::~DirectoryReader() {
    Close();
}

DirectoryReader::DirectoryReader(DirectoryReader&& other) noexcept {
    *this = std::move(other);
}

DirectoryReader& DirectoryReader::operator=(DirectoryReader&& other) noexcept {
    if (this != &other) {
        Close();
        std::swap(descriptor, other.descriptor);
        std::swap(fromTree, other.fromTree);
#if !defined(__linux__)
        std::swap(stream, other.stream);
#endif
    }
    return *this;
}

void DirectoryReader::Close() {
#if !defined(__linux__)
    if (stream != nullptr) {
        closedir(static_cast<DIR*>(stream));
        stream = nullptr;
    }
#endif
    if (descriptor >= 0) {
        close(descriptor);
        descriptor = -1;
    }
    fromTree.reset();
}

bool DirectoryReader::OpenInTree(FileTree& tree, const std::string& directory,
                                 DirectoryListing& listing) {
    TreeNode node;
    std::vector<TreeEntry> entries;
    if (!tree.List(directory, node, entries)) {
        listing.error = errno;
        return false;
    }
    listing.opened = true;
    listing.identity = node.identity;
    fromTree.emplace();
    for (const TreeEntry& entry : entries) {
        const unsigned char kind = entry.kind == EntryKind::File ? 0
                                   : entry.kind == EntryKind::Directory
                                       ? kEntryIsDirectory
                                       : kEntryIsDirectory | kEntryIsLink;
        fromTree->push_back(static_cast<char>(kind));
        fromTree->append(entry.name);
        fromTree->push_back('\0');
    }
    return true;
}

bool DirectoryReader::Open(const std::string& directory, DirectoryListing& listing, Lookup lookup) {
    Close();
    if (FileTree* tree = FileTreeInUse()) {
        // The library cannot tell what it would read from memory: listed waiting.
        listing.wouldWait = lookup == Lookup::FromMemory;
        return !listing.wouldWait && OpenInTree(*tree, directory, listing);
    }
    descriptor = OpenPath(directory.empty() ? "." : directory.c_str(),
                          O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC, lookup);
    struct stat status {};
    if (descriptor < 0 && lookup == Lookup::FromMemory && errno == EAGAIN) {
        listing.wouldWait = true;
        return false;
    }
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        listing.error = errno;
        Close();
        return false;
    }
    listing.opened = true;
    listing.identity = IdentityOf(status);
    struct stat parent {};
    if (fstatat(descriptor, "..", &parent, 0) == 0) {
        listing.parent = IdentityOf(parent);
    }
    return true;
}

// A link is described by what it leads to, a broken one by the link itself; an entry of unknown
// kind is examined. One that cannot be examined for a reason other than being gone is delivered
// as a file, so that a candidate among them is looked at, and its failure known, there.
void DirectoryReader::Add(std::string& entries, std::string_view name, unsigned char type) const {
    unsigned char kind = type == DT_DIR ? kEntryIsDirectory : 0;
    if (type == DT_UNKNOWN || type == DT_LNK) {
        if (!Examine(std::string(name).c_str(), type, kind)) {
            return;
        }
    }
    entries.push_back(static_cast<char>(kind));
    entries.append(name);
    entries.push_back('\0');
}

bool DirectoryReader::Examine(const char* name, unsigned char type, unsigned char& kind) const {
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

void DirectoryReader::ReadPiece(DirectoryListing& listing) {
    listing.entries.clear();
    if (fromTree) {
        listing.entries = std::move(*fromTree);
        listing.complete = true;
        Close();
        return;
    }
    if (descriptor < 0) {
        listing.complete = true;
        return;
    }
    // As readdir does, a read that fails ends the listing with what was read before it; its
    // reason is kept.
#if defined(__linux__)
    // Straight from the kernel's records. A piece is what reads give until half the buffer's
    // worth has come, so that a small directory is read to its end, and closed, at once.
    alignas(8) char buffer[32 * 1024];
    for (std::size_t pieceBytes = 0; pieceBytes < sizeof buffer / 2;) {
        ssize_t got = 0;
        do {
            got = getdents64(descriptor, buffer, sizeof buffer);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            listing.error = got < 0 ? errno : 0;
            listing.complete = true;
            break;
        }
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            unsigned short length = 0;
            std::memcpy(&length, buffer + at + offsetof(dirent64, d_reclen), sizeof length);
            if (length <= offsetof(dirent64, d_name) ||
                length > static_cast<std::size_t>(got) - at) {
                break;
            }
            Add(listing.entries, std::string_view(buffer + at + offsetof(dirent64, d_name)),
                static_cast<unsigned char>(buffer[at + offsetof(dirent64, d_type)]));
            at += length;
        }
        pieceBytes += static_cast<std::size_t>(got);
    }
#else
    if (stream == nullptr && (stream = fdopendir(dup(descriptor))) == nullptr) {
        listing.error = errno;
        listing.complete = true;
    }
    for (std::size_t read = 0; !listing.complete && read < kEntriesInAPiece; ++read) {
        errno = 0;
        const dirent* entry = readdir(static_cast<DIR*>(stream));
        if (entry == nullptr) {
            listing.error = errno;
            listing.complete = true;
            break;
        }
        Add(listing.entries, entry->d_name, entry->d_type);
    }
#endif
    if (listing.complete) {
        Close();
    }
}

}  // namespace platform::posix
