#include "walk/walk.h"

#include "walk/read_failures.h"

#include <memory>
#include <string_view>
#include <utility>

namespace {

using platform::WalkStep;

constexpr std::string_view kWildcard = "*.*";
constexpr std::size_t kWildcardLength = kWildcard.size();

// A directory (ending in the separator) that could not be listed whole, unless for a reason the
// walk passes over; named without its separator. A link the walk may not list through (Windows
// denies listing through its compatibility junctions, "Documents and Settings" and the like) is
// passed over: what it leads to lies within the tree, where the walk lists it, or names it.
void NoteListingFailure(const std::string& directory, const FoundAt& found = {}) {
    const DWORD error = GetLastError();
    if (ListingFailureCounts(error) && !(found.target && error == ERROR_ACCESS_DENIED)) {
        FailedReads.Note(directory.substr(0, directory.size() - 1), error);
    }
}

// Entering a directory, whatever path leads to it: only where it was found, once per run (it counts
// as entered once it could be listed), and by the rule for volumes.
bool MayEnter(const std::string& directory, WalkRun& run, const FoundAt& found,
              platform::DirectoryIdentity& identity) {
    std::optional<platform::DirectoryIdentity> parent;
    if (!platform::GetDirectoryIdentity(directory.c_str(), identity, &parent)) {
        NoteListingFailure(directory, found);
        return false;
    }
    if (!StillWhereFound(found, identity, parent) || run.entered.Contains(identity)) {
        return false;
    }
    return MayEnterVolume(run.level.volume, identity.volume, directory.c_str());
}

void EnterDirectory(std::string& path, WalkRun& run, const FoundAt& found) {
    path.append(platform::kSearchSuffix);
    ScanDirectory(path, run, found);
}

}  // namespace

std::string SearchPatternOf(std::string directory) {
    if (!directory.empty() && directory.back() == platform::kPathSeparator) {
        directory.pop_back();
    }
    return directory + platform::kSearchSuffix;
}

void ScanDirectory(std::string& pattern) {
    VisitedDirectories entered;
    ScanDirectory(pattern, entered);
}

void ScanDirectory(std::string& pattern, VisitedDirectories& entered) {
    if (pattern.size() < kWildcardLength || !PatternWithinBounds(pattern.size())) {
        return;
    }
    WalkRun run;
    run.entered = std::move(entered);
    const std::string directory = pattern.substr(0, pattern.size() - kWildcardLength);
    platform::ResolveTreeRoot(directory.c_str(), run.root);
    ScanDirectory(pattern, run);
    entered = std::move(run.entered);
}

void ScanDirectory(std::string& pattern, WalkRun& run, const FoundAt& found) {
    // The pattern itself becomes the listed directory's prefix: a deep walk holds few copies.
    pattern.resize(pattern.size() - kWildcardLength);
    run.readAhead.Entering(pattern, run.level.depth, run.level.volume);
    platform::DirectoryIdentity identity;
    if (!MayEnter(pattern, run, found, identity)) {
        return;
    }
    pattern.append(kWildcard);
    // On the heap: the record is large, and the walk may be thousands of levels deep.
    auto record = std::make_unique<WIN32_FIND_DATAA>();
    HANDLE handle = FindFirstFileA(pattern.c_str(), record.get());
    pattern.resize(pattern.size() - kWildcardLength);
    if (handle == INVALID_HANDLE_VALUE) {
        // Not entered: a path that may list it (the directory itself, past a link that may not)
        // still can.
        NoteListingFailure(pattern, found);
        return;
    }
    run.entered.Insert(identity);
    const WalkLevel outer = run.level;
    run.level = {identity.volume, outer.depth + 1, identity};
    ScanEntries(handle, *record, pattern, run);
    run.level = outer;
    FindClose(handle);
}

void ScanEntries(HANDLE handle, WIN32_FIND_DATAA& record, const std::string& prefix, WalkRun& run) {
    std::string entryPath;
    do {
        entryPath.assign(prefix).append(record.cFileName);
        const platform::WalkEntry entry{platform::EntryKindOf(record.dwFileAttributes),
                                        record.cFileName, run.level.depth, entryPath.size()};
        switch (DecideEntry(entry)) {
            case WalkStep::Examine:
                ExamineFile(entryPath, record);
                break;
            case WalkStep::Follow: {
                platform::DirectoryIdentity target;
                if (platform::LinkTargetLiesWithin(entryPath.c_str(), run.root, target)) {
                    EnterDirectory(entryPath, run, {.parent = std::nullopt, .target = target});
                }
                break;
            }
            case WalkStep::Enter:
                EnterDirectory(entryPath, run, {.parent = run.level.identity, .target = {}});
                break;
            case WalkStep::PassOver:
                break;
        }
    } while (FindNextFileA(handle, &record));
    NoteListingFailure(prefix);  // the end, or the reason the listing ended before it
}
