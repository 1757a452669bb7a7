#include "platform/posix/version_resources/image_views.h"

namespace platform::posix {

namespace {

constexpr std::uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
// Where the data directories start, after the count of them.
constexpr std::size_t kPe32DataDirectories = 96;
constexpr std::size_t kPe32PlusDataDirectories = 112;
constexpr std::size_t kDataDirectorySize = 8;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr unsigned kNeLargestAlignmentShift = 24;
constexpr std::size_t kNeTypeRecordSize = 8;
constexpr std::size_t kNeNameRecordSize = 12;

std::size_t DataDirectoriesOffset(std::uint16_t magic) {
    return magic == kPe32Magic       ? kPe32DataDirectories
           : magic == kPe32PlusMagic ? kPe32PlusDataDirectories
                                     : 0;
}

}  // namespace

std::optional<DosHeader> DosHeader::From(ByteView bytes) {
    if (bytes.size() < kSize || *bytes.Read16(0) != kDosMagic) {
        return std::nullopt;
    }
    return DosHeader{*bytes.Read32(0x3C)};
}

std::optional<PeHeader> PeHeader::From(ByteView bytes) {
    if (bytes.size() < kSize || *bytes.Read32(0) != kPeSignature) {
        return std::nullopt;
    }
    return PeHeader{*bytes.Read16(6), *bytes.Read16(20)};
}

std::size_t ResourceDataDirectory::SizeNeeded(ByteView magic) {
    const std::size_t directories =
        magic.size() < kMagicSize ? 0 : DataDirectoriesOffset(*magic.Read16(0));
    return directories == 0 ? 0 : directories + (kResourceDirectoryIndex + 1) * kDataDirectorySize;
}

std::optional<ResourceDataDirectory> ResourceDataDirectory::From(ByteView optionalHeader) {
    const std::size_t needed = SizeNeeded(optionalHeader);
    if (needed == 0 || optionalHeader.size() < needed) {
        return std::nullopt;
    }
    const std::size_t directories = needed - (kResourceDirectoryIndex + 1) * kDataDirectorySize;
    const std::uint32_t directoryCount = *optionalHeader.Read32(directories - 4);
    const std::size_t entry = directories + kResourceDirectoryIndex * kDataDirectorySize;
    const ResourceDataDirectory resources{*optionalHeader.Read32(entry),
                                          *optionalHeader.Read32(entry + 4)};
    if (directoryCount <= kResourceDirectoryIndex || resources.rva == 0 || resources.size == 0) {
        return std::nullopt;
    }
    return resources;
}

std::optional<SectionHeader> SectionHeader::From(ByteView bytes) {
    if (bytes.size() < kSize) {
        return std::nullopt;
    }
    return SectionHeader{*bytes.Read32(8), *bytes.Read32(12), *bytes.Read32(16), *bytes.Read32(20)};
}

std::optional<ResourceTableHeader> ResourceTableHeader::From(ByteView bytes) {
    if (bytes.size() < kSize) {
        return std::nullopt;
    }
    return ResourceTableHeader{std::size_t{*bytes.Read16(12)} + *bytes.Read16(14)};
}

std::optional<ResourceEntry> ResourceEntry::From(ByteView bytes) {
    if (bytes.size() < kSize) {
        return std::nullopt;
    }
    return ResourceEntry{*bytes.Read32(0), *bytes.Read32(4)};
}

std::optional<ResourceDataEntry> ResourceDataEntry::From(ByteView bytes) {
    if (bytes.size() < kSize) {
        return std::nullopt;
    }
    return ResourceDataEntry{*bytes.Read32(0), *bytes.Read32(4)};
}

std::optional<NeHeader> NeHeader::From(ByteView bytes) {
    if (bytes.size() < kSize) {
        return std::nullopt;
    }
    return NeHeader{*bytes.Read16(0x24), *bytes.Read16(0x26)};
}

std::optional<NeResourceTable> NeResourceTable::From(ByteView table) {
    const auto shift = table.Read16(0);
    if (!shift || *shift > kNeLargestAlignmentShift) {
        return std::nullopt;
    }
    return NeResourceTable(table.From(2), *shift);
}

std::optional<NeResourceTable::TypeRecord> NeResourceTable::NextType() {
    const auto type = rest.Read16(0);
    const auto count = rest.Read16(2);
    if (!type || *type == 0 || !count) {
        return std::nullopt;
    }
    rest = rest.From(kNeTypeRecordSize);
    return TypeRecord{*type, *count};
}

std::optional<NeResourceTable::NameRecord> NeResourceTable::NextName() {
    const auto record = rest.Sub(0, kNeNameRecordSize);
    if (!record) {
        return std::nullopt;
    }
    rest = rest.From(kNeNameRecordSize);
    return NameRecord{std::uint64_t{*record->Read16(0)} << shift,
                      std::uint64_t{*record->Read16(2)} << shift, *record->Read16(6)};
}

}  // namespace platform::posix
