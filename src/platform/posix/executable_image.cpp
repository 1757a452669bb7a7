#include "platform/posix/executable_image.h"

#include <algorithm>
#include <vector>

namespace platform::posix {

namespace {

// DOS and PE headers.
constexpr std::uint16_t kDosMagic = 0x5A4D;  // "MZ"
constexpr std::size_t kNewHeaderPointer = 0x3C;
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kNeSignature = 0x454E;      // "NE"
constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::size_t kSectionCountField = 2;
constexpr std::size_t kOptionalHeaderSizeField = 16;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::size_t kPe32DataDirectories = 96;
constexpr std::size_t kPe32PlusDataDirectories = 112;
constexpr std::size_t kDataDirectorySize = 8;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::size_t kSectionHeaderSize = 40;

// Resource directories.
constexpr std::size_t kTableHeaderSize = 16;
constexpr std::size_t kTableEntrySize = 8;
constexpr std::size_t kDataEntrySize = 16;
constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::uint32_t kVersionType = 16;
constexpr std::uint32_t kVersionName = 1;
constexpr std::uint32_t kNeutralLanguage = 0;
constexpr std::uint32_t kEnglishUnitedStates = 0x0409;

// NE resource table.
constexpr std::size_t kNeResourceTableField = 0x24;
constexpr std::size_t kNeResidentNamesField = 0x26;
constexpr std::uint16_t kNeVersionType = 0x8010;
constexpr std::uint16_t kNeVersionName = 0x8001;
constexpr std::size_t kNeTypeRecordSize = 8;
constexpr std::size_t kNeNameRecordSize = 12;
constexpr unsigned kNeLargestAlignmentShift = 24;

// A version block's lengths are 16-bit, so no more than this is ever needed of a resource.
constexpr std::uint32_t kLargestVersionBlock = 0xFFFF;

struct Section {
    std::uint32_t virtualAddress;
    std::uint32_t virtualSize;
    std::uint32_t rawSize;
    std::uint32_t rawOffset;
};

struct FileRange {
    std::uint64_t offset;
    std::uint64_t storedBytes;  // bytes from offset that the section's raw data holds
};

class PeImage {
  public:
    explicit PeImage(FileSource& source) : file(source) {}

    std::optional<ResourceLocation> FindVersionResource(std::uint64_t peHeader);

  private:
    bool ReadSections(std::uint64_t tableOffset, std::uint16_t count);
    std::optional<FileRange> Locate(std::uint64_t rva) const;
    std::optional<ByteView> ViewResource(std::uint32_t offsetInDirectory, std::size_t count);
    std::optional<std::uint32_t> FindEntry(std::uint32_t tableOffset, std::uint32_t id);
    std::optional<std::uint32_t> FindLanguageEntry(std::uint32_t tableOffset);
    std::optional<std::uint32_t> Subdirectory(std::optional<std::uint32_t> target) const;
    std::optional<ResourceLocation> ReadDataEntry(std::optional<std::uint32_t> target);

    FileSource& file;
    std::vector<Section> sections;
    std::uint32_t resourceRva = 0;
};

bool PeImage::ReadSections(std::uint64_t tableOffset, std::uint16_t count) {
    std::vector<std::uint8_t> storage;
    const auto table = file.Read(tableOffset, std::size_t{count} * kSectionHeaderSize, storage);
    if (!table) {
        return false;
    }
    sections.reserve(count);
    for (std::size_t at = 0; at < table->size(); at += kSectionHeaderSize) {
        sections.push_back(Section{*table->Read32(at + 12), *table->Read32(at + 8),
                                   *table->Read32(at + 16), *table->Read32(at + 20)});
    }
    return true;
}

std::optional<FileRange> PeImage::Locate(std::uint64_t rva) const {
    for (const Section& section : sections) {
        const std::uint64_t extent = std::max(section.virtualSize, section.rawSize);
        if (rva >= section.virtualAddress && rva - section.virtualAddress < extent) {
            const std::uint64_t delta = rva - section.virtualAddress;
            const std::uint64_t stored = delta < section.rawSize ? section.rawSize - delta : 0;
            return FileRange{section.rawOffset + delta, stored};
        }
    }
    return std::nullopt;
}

std::optional<ByteView> PeImage::ViewResource(std::uint32_t offsetInDirectory, std::size_t count) {
    const auto range = Locate(std::uint64_t{resourceRva} + offsetInDirectory);
    if (!range || range->storedBytes < count) {
        return std::nullopt;
    }
    return file.View(range->offset, count);
}

// Returns the second word of the first ID entry equal to id.
std::optional<std::uint32_t> PeImage::FindEntry(std::uint32_t tableOffset, std::uint32_t id) {
    const auto header = ViewResource(tableOffset, kTableHeaderSize);
    if (!header) {
        return std::nullopt;
    }
    const std::size_t count = std::size_t{*header->Read16(12)} + *header->Read16(14);
    for (std::size_t index = 0; index < count; ++index) {
        const auto entry =
            ViewResource(tableOffset + kTableHeaderSize + index * kTableEntrySize, kTableEntrySize);
        if (!entry) {
            return std::nullopt;
        }
        if (*entry->Read32(0) == id) {
            return *entry->Read32(4);
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> PeImage::FindLanguageEntry(std::uint32_t tableOffset) {
    const auto header = ViewResource(tableOffset, kTableHeaderSize);
    if (!header) {
        return std::nullopt;
    }
    const std::size_t count = std::size_t{*header->Read16(12)} + *header->Read16(14);
    std::optional<std::uint32_t> first;
    std::optional<std::uint32_t> english;
    for (std::size_t index = 0; index < count; ++index) {
        const auto entry =
            ViewResource(tableOffset + kTableHeaderSize + index * kTableEntrySize, kTableEntrySize);
        if (!entry) {
            break;
        }
        const std::uint32_t language = *entry->Read32(0);
        const std::uint32_t target = *entry->Read32(4);
        if (language == kNeutralLanguage) {
            return target;
        }
        if (language == kEnglishUnitedStates && !english) {
            english = target;
        }
        if (!first) {
            first = target;
        }
    }
    return english ? english : first;
}

std::optional<std::uint32_t> PeImage::Subdirectory(std::optional<std::uint32_t> target) const {
    if (!target || (*target & kHighBit) == 0) {
        return std::nullopt;
    }
    return *target & ~kHighBit;
}

std::optional<ResourceLocation> PeImage::ReadDataEntry(std::optional<std::uint32_t> target) {
    if (!target || (*target & kHighBit) != 0) {
        return std::nullopt;
    }
    const auto entry = ViewResource(*target, kDataEntrySize);
    if (!entry) {
        return std::nullopt;
    }
    const std::uint32_t size = std::min(*entry->Read32(4), kLargestVersionBlock);
    const auto range = Locate(*entry->Read32(0));
    if (size == 0 || !range) {
        return std::nullopt;
    }
    const auto stored =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(range->storedBytes, size));
    if (!file.View(range->offset, 0) || stored > file.Size() - range->offset) {
        return std::nullopt;
    }
    return ResourceLocation{range->offset, size, stored};
}

std::optional<ResourceLocation> PeImage::FindVersionResource(std::uint64_t peHeader) {
    const auto coff = file.View(peHeader + 4, kCoffHeaderSize);
    if (!coff) {
        return std::nullopt;
    }
    const std::uint16_t sectionCount = *coff->Read16(kSectionCountField);
    const std::uint16_t optionalHeaderSize = *coff->Read16(kOptionalHeaderSizeField);
    const std::uint64_t optionalHeader = peHeader + 4 + kCoffHeaderSize;
    const auto magic = file.View(optionalHeader, 2);
    if (!magic) {
        return std::nullopt;
    }
    const std::uint16_t kind = *magic->Read16(0);
    const std::size_t directories = kind == kPe32Magic       ? kPe32DataDirectories
                                    : kind == kPe32PlusMagic ? kPe32PlusDataDirectories
                                                             : 0;
    const std::size_t resourceEntry = directories + kResourceDirectoryIndex * kDataDirectorySize;
    if (directories == 0 || optionalHeaderSize < resourceEntry + kDataDirectorySize) {
        return std::nullopt;
    }
    const auto header = file.View(optionalHeader, resourceEntry + kDataDirectorySize);
    if (!header || *header->Read32(directories - 4) <= kResourceDirectoryIndex) {
        return std::nullopt;
    }
    resourceRva = *header->Read32(resourceEntry);
    if (resourceRva == 0 || *header->Read32(resourceEntry + 4) == 0 ||
        !ReadSections(optionalHeader + optionalHeaderSize, sectionCount)) {
        return std::nullopt;
    }
    const auto names = Subdirectory(FindEntry(0, kVersionType));
    const auto languages = names ? Subdirectory(FindEntry(*names, kVersionName)) : std::nullopt;
    return languages ? ReadDataEntry(FindLanguageEntry(*languages)) : std::nullopt;
}

std::optional<ResourceLocation> FindNeVersionResource(FileSource& file, std::uint64_t neHeader) {
    const auto header = file.View(neHeader, kNeResidentNamesField + 2);
    if (!header) {
        return std::nullopt;
    }
    const std::uint16_t tableStart = *header->Read16(kNeResourceTableField);
    const std::uint16_t tableEnd = *header->Read16(kNeResidentNamesField);
    if (tableEnd <= tableStart) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> storage;
    const auto table =
        file.Read(neHeader + tableStart, std::size_t{tableEnd} - tableStart, storage);
    if (!table || !table->Read16(0) || *table->Read16(0) > kNeLargestAlignmentShift) {
        return std::nullopt;
    }
    const unsigned shift = *table->Read16(0);
    std::size_t at = 2;
    // Every record read moves at forward, and every read is checked against the table's end.
    for (auto type = table->Read16(at); type && *type != 0; type = table->Read16(at)) {
        const auto count = table->Read16(at + 2);
        if (!count) {
            return std::nullopt;
        }
        at += kNeTypeRecordSize;
        for (std::size_t index = 0; index < *count; ++index, at += kNeNameRecordSize) {
            const auto record = table->Sub(at, kNeNameRecordSize);
            if (!record) {
                return std::nullopt;
            }
            if (*type == kNeVersionType && *record->Read16(6) == kNeVersionName) {
                const std::uint64_t offset = std::uint64_t{*record->Read16(0)} << shift;
                const std::uint64_t length = std::uint64_t{*record->Read16(2)} << shift;
                const auto size = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(length, kLargestVersionBlock));
                if (size == 0 || offset > file.Size() || size > file.Size() - offset) {
                    return std::nullopt;
                }
                return ResourceLocation{offset, size, size};
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<ResourceLocation> FindVersionResource(FileSource& file) {
    const auto dos = file.View(0, kNewHeaderPointer + 4);
    if (!dos || *dos->Read16(0) != kDosMagic) {
        return std::nullopt;
    }
    const std::uint64_t newHeader = *dos->Read32(kNewHeaderPointer);
    const auto signature = file.View(newHeader, 2);
    if (!signature) {
        return std::nullopt;
    }
    if (*signature->Read16(0) == kNeSignature) {
        return FindNeVersionResource(file, newHeader);
    }
    const auto peSignature = file.View(newHeader, 4);
    if (!peSignature || *peSignature->Read32(0) != kPeSignature) {
        return std::nullopt;
    }
    PeImage image(file);
    return image.FindVersionResource(newHeader);
}

}  // namespace platform::posix
