// Listing one directory, for the find calls and the read-ahead alike: every entry at once, each
// with its kind made known (links and entries of unknown kind examined), so that the directory is
// closed again straight away and a walk thousands of levels deep holds no descriptor per level.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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
    std::string entries;         // each: its kind (a byte of kEntry* bits), its name, a NUL
    int error = 0;               // errno of what failed: the open, or a read after some entries
    bool wouldWait = false;      // opened from memory only, and the device was needed
};

class OpenDirectory {
  public:
    // Opens directory (ending in a separator, or empty for the current directory) to be listed;
    // with Lookup::FromMemory only if its path is in the kernel's caches.
    OpenDirectory(const std::string& directory, DirectoryListing& listing,
                  Lookup lookup = Lookup::MayWait);
    ~OpenDirectory();
    OpenDirectory(const OpenDirectory&) = delete;
    OpenDirectory& operator=(const OpenDirectory&) = delete;

    // Reads every entry into the listing, in the order the file system gives them; an entry that
    // vanished before its kind could be known is left out.
    void ReadEntries();

  private:
    void Add(std::string_view name, unsigned char type);
    // Makes the kind of a link, or of an entry of unknown kind, known; false when it has gone.
    bool Examine(const char* name, unsigned char type, unsigned char& kind) const;
    DirectoryListing& listing;
    int descriptor = -1;
};

// Opens directory and reads every entry.
DirectoryListing ListDirectory(const std::string& directory);

}  // namespace platform::posix
