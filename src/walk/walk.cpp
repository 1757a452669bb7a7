#include "walk/walk.h"

#include <memory>
#include <string_view>

namespace {

constexpr std::string_view kWildcard = "*.*";
constexpr std::size_t kWildcardLength = kWildcard.size();

bool IsDirectory(const WIN32_FIND_DATAA& record) {
    return (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsLink(const WIN32_FIND_DATAA& record) {
    return (record.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The rules for entering a directory, whatever path leads to it: once per run, never a pseudo
// file system (asked only where the volume changes, since most trees stay on one).
bool MayEnter(const std::string& directory, WalkRun& run, std::uint64_t& volume) {
    platform::DirectoryIdentity identity;
    if (!platform::GetDirectoryIdentity(directory.c_str(), identity) ||
        !run.entered.Insert(identity)) {
        return false;
    }
    volume = identity.volume;
    const bool sameVolume = run.level.volume == identity.volume;
    return sameVolume || !platform::IsPseudoFileSystem(directory.c_str());
}

}  // namespace

void ScanDirectory(std::string& pattern) {
    WalkRun run;
    if (pattern.size() >= kWildcardLength) {
        const std::string directory = pattern.substr(0, pattern.size() - kWildcardLength);
        platform::ResolveTreeRoot(directory.c_str(), run.root);
    }
    ScanDirectory(pattern, run);
}

void ScanDirectory(std::string& pattern, WalkRun& run) {
    if (pattern.size() < kWildcardLength || pattern.size() > platform::kWalkLongestPattern ||
        run.level.depth >= platform::kWalkDeepestLevel) {
        return;
    }
    // The pattern itself becomes the listed directory's prefix: a deep walk holds few copies.
    pattern.resize(pattern.size() - kWildcardLength);
    std::uint64_t volume = 0;
    if (!MayEnter(pattern, run, volume)) {
        return;
    }
    pattern.append(kWildcard);
    // On the heap: the record is large, and the walk may be thousands of levels deep.
    auto record = std::make_unique<WIN32_FIND_DATAA>();
    HANDLE handle = FindFirstFileA(pattern.c_str(), record.get());
    pattern.resize(pattern.size() - kWildcardLength);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    const WalkLevel outer = run.level;
    run.level = {volume, outer.depth + 1};
    ScanEntries(handle, *record, pattern, run);
    run.level = outer;
    FindClose(handle);
}

void ScanEntries(HANDLE handle, WIN32_FIND_DATAA& record, const std::string& prefix, WalkRun& run) {
    std::string entryPath;
    do {
        if (IsDirectory(record)) {
            if (record.cFileName[0] == '.') {
                continue;
            }
            entryPath.assign(prefix).append(record.cFileName);
            if (IsLink(record) && !platform::LinkTargetLiesWithin(entryPath.c_str(), run.root)) {
                continue;
            }
            entryPath.append(platform::kSearchSuffix);
            ScanDirectory(entryPath, run);
        } else {
            entryPath.assign(prefix).append(record.cFileName);
            ExamineFile(entryPath, record);
        }
    } while (FindNextFileA(handle, &record));
}
