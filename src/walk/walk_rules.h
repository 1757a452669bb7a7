// The walk's rules, in one place: which entries of a listing it enters, examines or passes over,
// and which file systems it enters. The walk applies them to every listing, and hands them to the
// read-ahead, which applies them to the directories it lists before the walk reaches them; so a
// change here changes what both read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/platform.h"

// The walk recurses, and holds each level's path until the level is done: bounds on both keep its
// stack and its memory bounded on a hostile tree. The deepest paths of a Windows volume (32,767
// characters) fit; a directory deeper, or with a longer search pattern, is not entered.
inline constexpr int kWalkDeepestLevel = 4096;
inline constexpr std::size_t kWalkLongestPattern = 32 * 1024;

// Files are examined, whatever their names. Directories whose names begin with a dot ("." and ".."
// among them) are passed over, and so are those beyond the bounds above; links to directories
// are followed if they lead inside the tree, other directories entered.
platform::WalkStep DecideEntry(const platform::WalkEntry& entry);

// A directory on the volume of the one that holds it may be entered; one on another volume (a
// mount, or the top) only if it is not one of the kernel's pseudo file systems, which hold no
// programs and can take forever to walk or stir devices. Asked only where the volume changes,
// since most trees stay on one.
bool MayEnterVolume(std::optional<std::uint64_t> parentVolume, std::uint64_t volume,
                    const char* directory);

// Whether a search pattern may be listed at all: what the walk's top must satisfy too.
bool PatternWithinBounds(std::size_t patternLength);

// Where the walk found a directory it is about to list: as an entry of the directory it was
// listing (parent), or at the end of a link checked to lead inside the tree (target); neither
// for the top.
struct FoundAt {
    std::optional<platform::DirectoryIdentity> parent;
    std::optional<platform::DirectoryIdentity> target;
};
// Whether the directory about to be listed (identity, and where its ".." leads, if told) is still
// the one the walk found: an entry's ".." leads to the directory it was listed in, a link's end
// is the directory the link was checked to lead to. Otherwise its name was switched in between
// (a directory swapped for a link out of the tree, or a link retargeted), and what it now leads
// to is passed over.
bool StillWhereFound(const FoundAt& found, const platform::DirectoryIdentity& identity,
                     const std::optional<platform::DirectoryIdentity>& parent);

inline constexpr platform::WalkRules kWalkRules{DecideEntry, MayEnterVolume};
