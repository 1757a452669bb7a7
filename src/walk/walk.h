// The depth-first walk of a directory tree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "walk/visited_directories.h"

// What one walk keeps from start to end: the tree it lists and every directory it has entered.
// Links can lead into the same directory many times over, back to an ancestor or out of the tree;
// each directory is entered at most once, and only inside the tree.
struct WalkLevel {
    // Of the directory being listed; a change asks for its file system. None above the top.
    std::optional<std::uint64_t> volume;
    int depth = 0;
};
struct WalkRun {
    platform::TreeRoot root;
    VisitedDirectories entered;
    WalkLevel level;
};

// Walks the directory that pattern names (a directory followed by the separator and "*.*") and
// everything beneath it, handing every file entry to ExamineFile. Directories whose names begin
// with a dot, links to directories outside the tree and the kernel's pseudo file systems are not
// entered, nor are those more than 4,096 levels deep or with paths over 32 KiB. Directories that
// cannot be listed are passed over silently. pattern is used as scratch room: what it holds when
// the call returns is unspecified.
void ScanDirectory(std::string& pattern);
void ScanDirectory(std::string& pattern, WalkRun& run);

// Handles the entries of one open listing, the one already in record first; prefix is the
// listed directory followed by the separator.
void ScanEntries(HANDLE handle, WIN32_FIND_DATAA& record, const std::string& prefix, WalkRun& run);

// The per-file step, called once for every file entry with the entry's path and find record.
void ExamineFile(std::string& path, const WIN32_FIND_DATAA& record);
