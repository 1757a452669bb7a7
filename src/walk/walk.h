// The depth-first walk of a directory tree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "walk/visited_directories.h"
#include "walk/walk_rules.h"

// What one walk keeps from start to end: the tree it lists, every directory it has entered, and
// the work done ahead of it. Links can lead into the same directory many times over, back to an
// ancestor or out of the tree; each directory is entered at most once, and only inside the tree.
struct WalkLevel {
    // Of the directory being listed; a change asks for its file system. None above the top.
    std::optional<std::uint64_t> volume;
    int depth = 0;  // of the entries being handled: the top's are at 1
    // The directory being listed, where the directories among its entries must be found.
    std::optional<platform::DirectoryIdentity> identity;
};
struct WalkRun {
    platform::TreeRoot root;
    VisitedDirectories entered;
    WalkLevel level;
    platform::ReadAhead readAhead{kWalkRules};
};

// The search pattern that names directory as the walk takes it: one trailing separator dropped,
// then the separator and "*.*".
std::string SearchPatternOf(std::string directory);

// Walks the directory that pattern names (a directory followed by the separator and "*.*") and
// everything beneath it, handing every file entry to ExamineFile, by the rules of walk_rules.h.
// Directories that cannot be listed are passed over; unless gone or forbidden (read_failures.h),
// they are noted in FailedReads. pattern is used as scratch room: what it holds when the call
// returns is unspecified.
void ScanDirectory(std::string& pattern);
// The same for one of several trees walked in one run: entered holds the directories the run has
// entered so far, so that each is entered once however the trees are named or overlap.
void ScanDirectory(std::string& pattern, VisitedDirectories& entered);
// The same for a directory inside a walk, at run.level.depth, that the walk's rules enter,
// found where found says.
void ScanDirectory(std::string& pattern, WalkRun& run, const FoundAt& found = {});

// Handles the entries of one open listing, the one already in record first; prefix is the
// listed directory followed by the separator.
void ScanEntries(HANDLE handle, WIN32_FIND_DATAA& record, const std::string& prefix, WalkRun& run);

// The per-file step, called once for every file entry with the entry's path and find record.
void ExamineFile(std::string& path, const WIN32_FIND_DATAA& record);
