#include "walk/walk_rules.h"

#include <string_view>

namespace {

using platform::EntryKind;
using platform::WalkStep;

constexpr std::size_t kSearchSuffixLength = std::string_view(platform::kSearchSuffix).size();

}  // namespace

WalkStep DecideEntry(const platform::WalkEntry& entry) {
    if (entry.kind == EntryKind::File) {
        return WalkStep::Examine;
    }
    if (entry.name.starts_with('.') || entry.depth >= kWalkDeepestLevel ||
        !PatternWithinBounds(entry.pathLength + kSearchSuffixLength)) {
        return WalkStep::PassOver;
    }
    return entry.kind == EntryKind::DirectoryLink ? WalkStep::Follow : WalkStep::Enter;
}

bool MayEnterVolume(std::optional<std::uint64_t> parentVolume, std::uint64_t volume,
                    const char* directory) {
    return parentVolume == volume || !platform::IsPseudoFileSystem(directory);
}

bool PatternWithinBounds(std::size_t patternLength) {
    return patternLength <= kWalkLongestPattern;
}

bool StillWhereFound(const FoundAt& found, const platform::DirectoryIdentity& identity,
                     const std::optional<platform::DirectoryIdentity>& parent) {
    if (found.target) {
        return identity == *found.target;
    }
    return !found.parent || !parent || *parent == *found.parent;
}
