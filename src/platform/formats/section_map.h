// Where a PE image's addresses (RVAs) lie in its file, through its section table.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/formats/image_views.h"

namespace platform::formats {

struct FileRange {
    std::uint64_t offset;
    std::uint64_t storedBytes;  // bytes from offset that the section's raw data holds
};

// Turns RVAs into file offsets as the platform's library does: through the first section, in table
// order, whose stored bytes hold them (VirtualAddress <= RVA < VirtualAddress + SizeOfRawData). A
// section's VirtualSize plays no part: a damaged one that claims the addresses of the sections
// after it must not take them over. Sections may overlap; the answer for every stretch of
// addresses is worked out once, so each look-up is a binary search, whatever the number of
// sections.
class SectionMap {
  public:
    // examined, where given, counts the comparisons each look-up makes.
    explicit SectionMap(std::vector<SectionHeader> headers, std::uint64_t* counter = nullptr);
    std::optional<FileRange> Locate(std::uint64_t rva) const;

  private:
    static constexpr std::uint32_t kNoSection = 0xFFFFFFFFu;
    struct Stretch {
        std::uint64_t start;    // up to the next stretch's start
        std::uint32_t section;  // the first section holding it, or kNoSection
    };
    static std::uint64_t End(const SectionHeader& section) {
        return std::uint64_t{section.VirtualAddress} + section.SizeOfRawData;
    }

    std::vector<SectionHeader> sections;
    std::vector<Stretch> stretches;
    std::uint64_t* examined;  // may be null
};

// The section table of count headers, read from bytes; none where bytes is short.
std::optional<std::vector<SectionHeader>> SectionHeadersFrom(ByteView bytes, std::uint16_t count);

}  // namespace platform::formats
