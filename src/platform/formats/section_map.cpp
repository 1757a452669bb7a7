#include "platform/formats/section_map.h"

#include <algorithm>
#include <queue>

namespace platform::formats {

SectionMap::SectionMap(std::vector<SectionHeader> headers, std::uint64_t* counter)
    : sections(std::move(headers)), examined(counter) {
    std::vector<std::uint64_t> bounds;
    std::vector<std::uint32_t> byStart;
    // A section of no extent begins and ends at one bound, and holds nothing.
    for (std::uint32_t index = 0; index < sections.size(); ++index) {
        bounds.push_back(sections[index].VirtualAddress);
        bounds.push_back(End(sections[index]));
        byStart.push_back(index);
    }
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    std::sort(byStart.begin(), byStart.end(), [&](std::uint32_t a, std::uint32_t b) {
        return sections[a].VirtualAddress < sections[b].VirtualAddress;
    });
    // Sweep the bounds in order, keeping the sections that have begun, earliest in the table on
    // top; those that have ended leave when they come to the top.
    std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> begun;
    std::size_t next = 0;
    for (const std::uint64_t bound : bounds) {
        for (; next < byStart.size() && sections[byStart[next]].VirtualAddress <= bound; ++next) {
            begun.push(byStart[next]);
        }
        while (!begun.empty() && End(sections[begun.top()]) <= bound) {
            begun.pop();
        }
        stretches.push_back(Stretch{bound, begun.empty() ? kNoSection : begun.top()});
    }
}

std::optional<FileRange> SectionMap::Locate(std::uint64_t rva) const {
    const auto after = std::upper_bound(stretches.begin(), stretches.end(), rva,
                                        [this](std::uint64_t value, const Stretch& stretch) {
                                            if (examined != nullptr) {
                                                ++*examined;
                                            }
                                            return value < stretch.start;
                                        });
    if (after == stretches.begin() || std::prev(after)->section == kNoSection) {
        return std::nullopt;
    }
    const SectionHeader& section = sections[std::prev(after)->section];
    const std::uint64_t delta = rva - section.VirtualAddress;
    return FileRange{section.PointerToRawData + delta, section.SizeOfRawData - delta};
}

std::optional<std::vector<SectionHeader>> SectionHeadersFrom(ByteView bytes, std::uint16_t count) {
    if (!bytes.Contains(0, std::size_t{count} * SectionHeader::kSize)) {
        return std::nullopt;
    }
    std::vector<SectionHeader> sections;
    sections.reserve(count);
    for (std::size_t index = 0; index < count; ++index) {
        sections.push_back(*SectionHeader::From(bytes.From(index * SectionHeader::kSize)));
    }
    return sections;
}

}  // namespace platform::formats
