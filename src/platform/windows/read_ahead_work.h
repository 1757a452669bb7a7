// The read-ahead's work on Windows: a listing job lists its directory with the platform's find
// calls and takes its identity; a look job asks the platform's version library for the file's
// version block. The platform cannot be asked to work from memory alone, so every thread has a
// place (see src/read_ahead/queue.h): on a share, sixteen requests are in flight.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace windows {

// One entry of a listing, as the walk's find record needs it.
struct ListedEntry {
    DWORD attributes = 0;
    FILETIME written{};
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
    std::string name;
};

struct DirectoryListing {
    bool opened = false;                      // the directory could be opened: identity holds
    DirectoryIdentity identity;               // of the directory opened
    std::optional<DirectoryIdentity> parent;  // the platform tells none
    DWORD error = ERROR_SUCCESS;              // why it could not be opened
    bool listed = false;                      // the find calls listed it: entries hold
    DWORD listError = ERROR_SUCCESS;          // why not, or why the listing ended before its end
    std::vector<ListedEntry> entries;         // the whole directory
    bool complete = true;

    template <typename Visit>
    void ForEachEntry(const Visit& visit) const {
        for (const ListedEntry& entry : entries) {
            visit(EntryKindOf(entry.attributes), std::string_view(entry.name));
        }
    }
};

// What the platform's version library answered for a file.
struct VersionLook {
    DWORD size = 0;  // GetFileVersionInfoSizeA's answer
    DWORD sizeError = ERROR_SUCCESS;
    // What GetFileVersionInfoA filled; left to the walk's own call (loadInPlace) for a size no
    // sound block comes near, which only a damaged file claims (gibibytes, mostly untouched).
    std::vector<unsigned char> block;
    bool loadInPlace = false;
    BOOL loaded = FALSE;
    DWORD loadError = ERROR_SUCCESS;
    // What the run's LookExtras ask for, from one open of the file.
    FileFacts facts;
    BOOL factsRead = FALSE;
    DWORD factsError = ERROR_SUCCESS;
};

// What the run's LookExtras ask for, of the file at path (extended), which versioned says carries
// a version resource; false when the file could not be opened.
BOOL ReadFileFacts(const std::string& extendedPath, bool versioned, FileFacts& facts);

// Lists directory (ending in the separator), as a listing job does: its identity, then every
// entry, by the find calls.
void ListDirectory(const std::string& directory, DirectoryListing& listing);

// The directory's identity, from the platform (never from the read-ahead).
bool IdentityOfDirectory(const char* directory, DirectoryIdentity& identity);

}  // namespace windows

// What a job yields.
struct JobYield {
    windows::DirectoryListing listing;
    windows::VersionLook look;

    std::size_t ResultBytes() const {
        std::size_t bytes = look.block.size();
        for (const windows::ListedEntry& entry : listing.entries) {
            bytes += sizeof entry + entry.name.size();
        }
        return bytes;
    }
    bool WouldWait() const { return false; }
    void Forget() {
        listing = {};
        look = {};
    }
};

struct WorkerState {};

inline constexpr bool kWorkFromMemory = false;

}  // namespace platform
