#include "platform/formats/image_views.h"

namespace platform::formats {

namespace {

// Where each field read lies in its structure, under the name the format gives it.
namespace image_dos_header {
constexpr std::size_t e_magic = 0x00;
constexpr std::size_t e_lfanew = 0x3C;
}  // namespace image_dos_header

// From the signature, which the IMAGE_FILE_HEADER follows.
namespace image_nt_headers {
constexpr std::size_t Signature = 0;
constexpr std::size_t Machine = 4 + 0;
constexpr std::size_t NumberOfSections = 4 + 2;
constexpr std::size_t TimeDateStamp = 4 + 4;
constexpr std::size_t SizeOfOptionalHeader = 4 + 16;
}  // namespace image_nt_headers

namespace image_optional_header {
constexpr std::size_t Magic = 0;
// NumberOfRvaAndSizes, then DataDirectory: in PE32 and in PE32+ (whose ImageBase and stack and
// heap sizes are 64-bit).
constexpr std::size_t NumberOfRvaAndSizes32 = 92;
constexpr std::size_t DataDirectory32 = 96;
constexpr std::size_t NumberOfRvaAndSizes64 = 108;
constexpr std::size_t DataDirectory64 = 112;
}  // namespace image_optional_header

namespace image_data_directory {
constexpr std::size_t kSize = 8;
constexpr std::size_t VirtualAddress = 0;
constexpr std::size_t Size = 4;
}  // namespace image_data_directory

namespace image_section_header {
constexpr std::size_t VirtualSize = 8;
constexpr std::size_t VirtualAddress = 12;
constexpr std::size_t SizeOfRawData = 16;
constexpr std::size_t PointerToRawData = 20;
}  // namespace image_section_header

namespace image_resource_directory {
constexpr std::size_t NumberOfNamedEntries = 12;
constexpr std::size_t NumberOfIdEntries = 14;
}  // namespace image_resource_directory

namespace image_resource_directory_entry {
constexpr std::size_t Name = 0;
constexpr std::size_t OffsetToData = 4;
}  // namespace image_resource_directory_entry

namespace image_resource_data_entry {
constexpr std::size_t OffsetToData = 0;
constexpr std::size_t Size = 4;
}  // namespace image_resource_data_entry

namespace image_os2_header {
constexpr std::size_t ne_rsrctab = 0x24;
constexpr std::size_t ne_restab = 0x26;
}  // namespace image_os2_header

// The NE resource table's records.
namespace ne_resource_table {
constexpr std::size_t rscAlignShift = 0;
constexpr std::size_t rscTypes = 2;  // where the first TYPEINFO starts
}  // namespace ne_resource_table

namespace ne_typeinfo {
constexpr std::size_t kSize = 8;
constexpr std::size_t rtTypeID = 0;
constexpr std::size_t rtResourceCount = 2;
}  // namespace ne_typeinfo

namespace ne_nameinfo {
constexpr std::size_t kSize = 12;
constexpr std::size_t rnOffset = 0;
constexpr std::size_t rnLength = 2;
constexpr std::size_t rnID = 6;
}  // namespace ne_nameinfo

constexpr std::uint16_t kNeSignature = 0x454E;      // "NE"
constexpr std::uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kResourceDirectoryIndex = 2;  // IMAGE_DIRECTORY_ENTRY_RESOURCE
constexpr std::uint32_t kClrDirectoryIndex = 14;      // IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR
constexpr unsigned kNeLargestAlignmentShift = 24;

struct DataDirectoryLayout {
    std::size_t count;  // NumberOfRvaAndSizes
    std::size_t first;  // DataDirectory[0]
};

std::optional<DataDirectoryLayout> LayoutFor(std::uint16_t magic) {
    using namespace image_optional_header;
    if (magic == kPe32Magic) {
        return DataDirectoryLayout{NumberOfRvaAndSizes32, DataDirectory32};
    }
    if (magic == kPe32PlusMagic) {
        return DataDirectoryLayout{NumberOfRvaAndSizes64, DataDirectory64};
    }
    return std::nullopt;
}

constexpr std::size_t EntryOffset(const DataDirectoryLayout& layout, std::uint32_t index) {
    return layout.first + index * image_data_directory::kSize;
}

constexpr std::size_t ResourceEntryOffset(const DataDirectoryLayout& layout) {
    return EntryOffset(layout, kResourceDirectoryIndex);
}

}  // namespace

std::optional<DosHeader> DosHeader::From(ByteView bytes) {
    if (bytes.size() < kSize || *bytes.Read16(image_dos_header::e_magic) != kDosMagic) {
        return std::nullopt;
    }
    return DosHeader{.e_lfanew = *bytes.Read32(image_dos_header::e_lfanew)};
}

std::optional<NewHeaderSignature> NewHeaderSignature::From(ByteView bytes) {
    if (bytes.size() < kSize) {
        return std::nullopt;
    }
    return NewHeaderSignature{.Signature = *bytes.Read16(image_nt_headers::Signature)};
}

bool NewHeaderSignature::IsNe() const {
    return Signature == kNeSignature;
}

std::optional<PeHeader> PeHeader::From(ByteView bytes) {
    if (bytes.size() < kSize || *bytes.Read32(image_nt_headers::Signature) != kPeSignature) {
        return std::nullopt;
    }
    return PeHeader{.Machine = *bytes.Read16(image_nt_headers::Machine),
                    .NumberOfSections = *bytes.Read16(image_nt_headers::NumberOfSections),
                    .TimeDateStamp = *bytes.Read32(image_nt_headers::TimeDateStamp),
                    .SizeOfOptionalHeader = *bytes.Read16(image_nt_headers::SizeOfOptionalHeader)};
}

std::size_t ResourceDataDirectory::SizeNeeded(ByteView magic) {
    const auto layout = magic.size() < kMagicSize
                            ? std::nullopt
                            : LayoutFor(*magic.Read16(image_optional_header::Magic));
    return layout ? ResourceEntryOffset(*layout) + image_data_directory::kSize : 0;
}

std::optional<ResourceDataDirectory> ResourceDataDirectory::From(ByteView optionalHeader) {
    const std::size_t needed = SizeNeeded(optionalHeader);
    if (needed == 0 || optionalHeader.size() < needed) {
        return std::nullopt;
    }
    const DataDirectoryLayout layout =
        *LayoutFor(*optionalHeader.Read16(image_optional_header::Magic));
    const std::uint32_t numberOfRvaAndSizes = *optionalHeader.Read32(layout.count);
    const std::size_t entry = ResourceEntryOffset(layout);
    const ResourceDataDirectory resources{
        .VirtualAddress = *optionalHeader.Read32(entry + image_data_directory::VirtualAddress),
        .Size = *optionalHeader.Read32(entry + image_data_directory::Size)};
    if (numberOfRvaAndSizes <= kResourceDirectoryIndex || resources.VirtualAddress == 0 ||
        resources.Size == 0) {
        return std::nullopt;
    }
    return resources;
}

std::size_t OptionalHeaderKind::SizeNeeded(ByteView magic) {
    const auto layout = magic.size() < kMagicSize
                            ? std::nullopt
                            : LayoutFor(*magic.Read16(image_optional_header::Magic));
    return layout ? EntryOffset(*layout, kClrDirectoryIndex) + image_data_directory::kSize : 0;
}

std::optional<OptionalHeaderKind> OptionalHeaderKind::From(ByteView optionalHeader) {
    if (optionalHeader.size() < kMagicSize) {
        return std::nullopt;
    }
    const std::uint16_t magic = *optionalHeader.Read16(image_optional_header::Magic);
    const auto layout = LayoutFor(magic);
    if (!layout) {
        return std::nullopt;
    }
    const std::size_t entry = EntryOffset(*layout, kClrDirectoryIndex);
    const auto count = optionalHeader.Read32(layout->count);
    const auto address = optionalHeader.Read32(entry + image_data_directory::VirtualAddress);
    const auto size = optionalHeader.Read32(entry + image_data_directory::Size);
    const bool hasClrHeader =
        count && *count > kClrDirectoryIndex && address && *address != 0 && size && *size != 0;
    return OptionalHeaderKind{.Magic = magic, .HasClrHeader = hasClrHeader};
}

bool OptionalHeaderKind::IsPe32Plus() const {
    return Magic == kPe32PlusMagic;
}

std::optional<SectionHeader> SectionHeader::From(ByteView bytes) {
    if (bytes.size() < kSize) {
        return std::nullopt;
    }
    return SectionHeader{.VirtualSize = *bytes.Read32(image_section_header::VirtualSize),
                         .VirtualAddress = *bytes.Read32(image_section_header::VirtualAddress),
                         .SizeOfRawData = *bytes.Read32(image_section_header::SizeOfRawData),
                         .PointerToRawData = *bytes.Read32(image_section_header::PointerToRawData)};
}

std::optional<ResourceTableHeader> ResourceTableHeader::From(ByteView bytes) {
    if (bytes.size() < kSize) {
        return std::nullopt;
    }
    return ResourceTableHeader{
        .NumberOfNamedEntries = *bytes.Read16(image_resource_directory::NumberOfNamedEntries),
        .NumberOfIdEntries = *bytes.Read16(image_resource_directory::NumberOfIdEntries)};
}

std::optional<ResourceEntry> ResourceEntry::From(ByteView bytes) {
    if (bytes.size() < kSize) {
        return std::nullopt;
    }
    return ResourceEntry{
        .Name = *bytes.Read32(image_resource_directory_entry::Name),
        .OffsetToData = *bytes.Read32(image_resource_directory_entry::OffsetToData)};
}

std::optional<ResourceDataEntry> ResourceDataEntry::From(ByteView bytes) {
    if (bytes.size() < kSize) {
        return std::nullopt;
    }
    return ResourceDataEntry{.OffsetToData = *bytes.Read32(image_resource_data_entry::OffsetToData),
                             .Size = *bytes.Read32(image_resource_data_entry::Size)};
}

std::optional<NeHeader> NeHeader::From(ByteView bytes) {
    if (bytes.size() < kSize) {
        return std::nullopt;
    }
    return NeHeader{.ne_rsrctab = *bytes.Read16(image_os2_header::ne_rsrctab),
                    .ne_restab = *bytes.Read16(image_os2_header::ne_restab)};
}

std::optional<NeResourceTable> NeResourceTable::From(ByteView table) {
    const auto shift = table.Read16(ne_resource_table::rscAlignShift);
    if (!shift || *shift > kNeLargestAlignmentShift) {
        return std::nullopt;
    }
    return NeResourceTable(table.From(ne_resource_table::rscTypes), *shift);
}

std::optional<NeResourceTable::TypeInfo> NeResourceTable::NextType() {
    const auto type = rest.Read16(ne_typeinfo::rtTypeID);
    const auto count = rest.Read16(ne_typeinfo::rtResourceCount);
    if (!type || *type == 0 || !count) {
        return std::nullopt;
    }
    rest = rest.From(ne_typeinfo::kSize);
    return TypeInfo{.rtTypeID = *type, .rtResourceCount = *count};
}

std::optional<NeResourceTable::NameInfo> NeResourceTable::NextName() {
    const auto record = rest.Sub(0, ne_nameinfo::kSize);
    if (!record) {
        return std::nullopt;
    }
    rest = rest.From(ne_nameinfo::kSize);
    return NameInfo{.rnOffset = std::uint64_t{*record->Read16(ne_nameinfo::rnOffset)} << shift,
                    .rnLength = std::uint64_t{*record->Read16(ne_nameinfo::rnLength)} << shift,
                    .rnID = *record->Read16(ne_nameinfo::rnID)};
}

}  // namespace platform::formats
