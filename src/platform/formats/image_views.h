// Named, checked views of the structures of PE and NE files. Each is made from bytes that were
// actually read, checks once that they hold the whole structure, and hands out its fields under
// the names the formats' documentation gives them, so that the code can be held against that
// documentation line by line: no offset into file data is written anywhere else. They are alike by
// design, one small struct a structure.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/formats/byte_view.h"

namespace platform::formats {

// IMAGE_DOS_HEADER: "MZ", and where the new (PE or NE) header lies.
struct DosHeader {
    static constexpr std::size_t kSize = 0x40;
    static std::optional<DosHeader> From(ByteView bytes);
    std::uint32_t e_lfanew;
};

// The first two bytes of the new header: "NE" for a 16-bit file; anything else is read as PE.
struct NewHeaderSignature {
    static constexpr std::size_t kSize = 2;
    static std::optional<NewHeaderSignature> From(ByteView bytes);
    std::uint16_t Signature;
    bool IsNe() const;
};

// The signature "PE\0\0" and the IMAGE_FILE_HEADER after it.
struct PeHeader {
    static constexpr std::size_t kSize = 24;
    static std::optional<PeHeader> From(ByteView bytes);
    std::uint16_t Machine;
    std::uint16_t NumberOfSections;
    std::uint32_t TimeDateStamp;
    std::uint16_t SizeOfOptionalHeader;
    static constexpr std::uint64_t OptionalHeaderOffset(std::uint64_t peHeader) {
        return peHeader + kSize;
    }
};

// The optional header as far as its DataDirectory entry for resources
// (IMAGE_DIRECTORY_ENTRY_RESOURCE): where the resource directory lies.
struct ResourceDataDirectory {
    static constexpr std::size_t kMagicSize = 2;
    // The optional header's size needed to reach the entry, from its Magic; 0 for no PE magic.
    static std::size_t SizeNeeded(ByteView magic);
    // From the optional header's first SizeNeeded bytes; none when it has no resource entry.
    static std::optional<ResourceDataDirectory> From(ByteView optionalHeader);
    std::uint32_t VirtualAddress;
    std::uint32_t Size;
};

// The optional header's Magic (PE32 or PE32+) and whether its DataDirectory holds a CLR runtime
// header (IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR): the image is a .NET assembly.
struct OptionalHeaderKind {
    static constexpr std::size_t kMagicSize = 2;
    // The optional header's size that holds the CLR entry, from its Magic; 0 for no PE magic.
    static std::size_t SizeNeeded(ByteView magic);
    // From up to SizeNeeded bytes of the optional header: a header cut before the CLR entry, or
    // one whose NumberOfRvaAndSizes does not reach it, has none.
    static std::optional<OptionalHeaderKind> From(ByteView optionalHeader);
    std::uint16_t Magic;
    bool HasClrHeader;
    bool IsPe32Plus() const;
};

// IMAGE_SECTION_HEADER.
struct SectionHeader {
    static constexpr std::size_t kSize = 40;
    static std::optional<SectionHeader> From(ByteView bytes);
    std::uint32_t VirtualSize;
    std::uint32_t VirtualAddress;
    std::uint32_t SizeOfRawData;
    std::uint32_t PointerToRawData;
};

// IMAGE_RESOURCE_DIRECTORY: how many entries follow it.
struct ResourceTableHeader {
    static constexpr std::size_t kSize = 16;
    static std::optional<ResourceTableHeader> From(ByteView bytes);
    std::uint16_t NumberOfNamedEntries;
    std::uint16_t NumberOfIdEntries;
    std::size_t EntryCount() const { return std::size_t{NumberOfNamedEntries} + NumberOfIdEntries; }
    // Where entry index lies, from the table's start.
    static constexpr std::uint64_t EntryOffset(std::size_t index);
};

// IMAGE_RESOURCE_DIRECTORY_ENTRY: an ID (or, top bit set, a name) and what it leads to.
struct ResourceEntry {
    static constexpr std::size_t kSize = 8;
    static std::optional<ResourceEntry> From(ByteView bytes);
    std::uint32_t Name;
    std::uint32_t OffsetToData;
    bool IsSubdirectory() const { return (OffsetToData & kDataIsDirectory) != 0; }
    // From the start of the resource directory: of a subdirectory, or of a data entry.
    std::uint32_t Offset() const { return OffsetToData & ~kDataIsDirectory; }

  private:
    static constexpr std::uint32_t kDataIsDirectory = 0x80000000u;
};

constexpr std::uint64_t ResourceTableHeader::EntryOffset(std::size_t index) {
    return kSize + std::uint64_t{index} * ResourceEntry::kSize;
}

// IMAGE_RESOURCE_DATA_ENTRY: where the resource's bytes lie, by RVA.
struct ResourceDataEntry {
    static constexpr std::size_t kSize = 16;
    static std::optional<ResourceDataEntry> From(ByteView bytes);
    std::uint32_t OffsetToData;
    std::uint32_t Size;
};

// The NE header (IMAGE_OS2_HEADER) as far as the two fields that bound the resource table, both
// offsets from the NE header's start.
struct NeHeader {
    static constexpr std::size_t kSize = 0x28;
    static std::optional<NeHeader> From(ByteView bytes);
    std::uint16_t ne_rsrctab;
    std::uint16_t ne_restab;
};

// The NE resource table: rscAlignShift, then TYPEINFO records, each followed by its NAMEINFO
// records, until a type of 0. Read front to back with Next*, each read checked against the end.
class NeResourceTable {
  public:
    struct TypeInfo {
        std::uint16_t rtTypeID;
        std::uint16_t rtResourceCount;
    };
    struct NameInfo {
        std::uint64_t rnOffset;  // in bytes from the start of the file, the shift applied
        std::uint64_t rnLength;  // in bytes, the shift applied
        std::uint16_t rnID;
    };

    static std::optional<NeResourceTable> From(ByteView table);
    // The next type record; none at the table's end (type 0) or where it is cut.
    std::optional<TypeInfo> NextType();
    std::optional<NameInfo> NextName();

  private:
    explicit NeResourceTable(ByteView table, unsigned shift) : rest(table), shift(shift) {}
    ByteView rest;
    unsigned shift;
};

}  // namespace platform::formats
