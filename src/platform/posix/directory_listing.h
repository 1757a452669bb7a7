// Listing one directory, for the find calls and the read-ahead alike: a piece at a time (what one
// read of the directory gives, each entry with its kind made known, links and entries of unknown
// kind examined), so that a directory of a million entries never has them all in memory at once.
// A directory read to its end in its first piece, as nearly all are, is closed straight away, so
// that a walk thousands of levels deep holds no descriptor per level.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_tree.h"
#include "platform/platform.h"
#include "platform/posix/long_paths.h"

namespace platform::posix {

// The kind of an entry, as its record's attributes carry it.
inline constexpr unsigned char kEntryIsDirectory = 0x01;
inline constexpr unsigned char kEntryIsLink = 0x02;
DWORD AttributesOf(unsigned char kind);

struct DirectoryListing {
    bool opened = false;         // the directory could be opened: identity holds
    DirectoryIdentity identity;  // of the directory opened
    // Of the directory its ".." leads to, from the same open: the directory that holds it, for
    // one reached as a directory entry rather than as the end of a link.
    std::optional<DirectoryIdentity> parent;
    std::string entries;     // of the piece read: each its kind (a byte of kEntry* bits), name, NUL
    bool complete = false;   // no entries follow those read: the end, or a read that failed
    int error = 0;           // errno of what failed: the open, or a read after some entries
    bool wouldWait = false;  // opened from memory only, and the device was needed

    // Calls visit(kind, name) for each entry of the piece, in order.
    template <typename Visit>
    void ForEachEntry(const Visit& visit) const;
};

template <typename Visit>
void DirectoryListing::ForEachEntry(const Visit& visit) const {
    for (std::size_t at = 0; at < entries.size();) {
        const auto kind = static_cast<unsigned char>(entries[at]);
        const std::string_view name(entries.data() + at + 1);
        at += name.size() + 2;
        visit(EntryKindOf(AttributesOf(kind)), name);
    }
}

// A directory opened to be listed; closed when destroyed or read to its end.
class DirectoryReader {
  public:
    DirectoryReader() = default;
    ~DirectoryReader();
    DirectoryReader(DirectoryReader&& other) noexcept;
    DirectoryReader& operator=(DirectoryReader&& other) noexcept;

    // Opens directory (ending in a separator, or empty for the current directory), with
    // Lookup::FromMemory only if its path is in the kernel's caches; fills what listing says of
    // the open. False when it could not be opened.
    bool Open(const std::string& directory, DirectoryListing& listing,
              Lookup lookup = Lookup::MayWait);
    bool IsOpen() const { return descriptor >= 0 || fromTree.has_value(); }

    // Reads the next piece of entries into listing.entries, in place of what it held, in the
    // order the file system gives them; an entry that vanished before its kind could be known is
    // left out. At the end, or at a read that fails (its reason in listing.error), listing is
    // complete and the directory closed.
    void ReadPiece(DirectoryListing& listing);

  private:
    void Add(std::string& entries, std::string_view name, unsigned char type) const;
    // Makes the kind of a link, or of an entry of unknown kind, known; false when it has gone.
    bool Examine(const char* name, unsigned char type, unsigned char& kind) const;
    void Close();
    // Opens directory in the file tree in use, which lists it whole at once.
    bool OpenInTree(FileTree& tree, const std::string& directory, DirectoryListing& listing);

    int descriptor = -1;
    std::optional<std::string> fromTree;  // the entries a file tree listed, until read
#if !defined(__linux__)
    void* stream = nullptr;  // the DIR of the descriptor
#endif
};

// The identity of the directory that holds path and that the walk's find calls are listing,
// while the listing is open: where the file the walk examines there must be found. None when no
// such listing is open.
std::optional<DirectoryIdentity> ListedDirectoryOf(std::string_view path);

}  // namespace platform::posix
