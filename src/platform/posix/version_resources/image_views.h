// Named, checked views of the structures of PE and NE files. Each is made from bytes that were
// actually read, checks once that they hold the whole structure, and hands out its fields by
// name: no offset into file data is written anywhere else. They are alike by design, one small
// struct a structure, so that each reads like the format's description.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/posix/version_resources/byte_view.h"

namespace platform::posix {

// The DOS header: "MZ", and where the new (PE or NE) header lies.
struct DosHeader {
    static constexpr std::size_t kSize = 0x40;
    static std::optional<DosHeader> From(ByteView bytes);
    std::uint32_t newHeader;
};

// "PE\0\0" and the COFF header after it.
struct PeHeader {
    static constexpr std::size_t kSize = 24;
    static std::optional<PeHeader> From(ByteView bytes);
    std::uint16_t sectionCount;
    std::uint16_t optionalHeaderSize;
    static constexpr std::uint64_t OptionalHeaderOffset(std::uint64_t peHeader) {
        return peHeader + kSize;
    }
};

// The optional header as far as the resource directory's entry: where the resource section lies.
struct ResourceDataDirectory {
    static constexpr std::size_t kMagicSize = 2;
    // The optional header's size needed to reach the entry, from its magic; 0 for no PE magic.
    static std::size_t SizeNeeded(ByteView magic);
    // From the optional header's first SizeNeeded bytes; none when it has no resource entry.
    static std::optional<ResourceDataDirectory> From(ByteView optionalHeader);
    std::uint32_t rva;
    std::uint32_t size;
};

struct SectionHeader {
    static constexpr std::size_t kSize = 40;
    static std::optional<SectionHeader> From(ByteView bytes);
    std::uint32_t virtualSize;
    std::uint32_t virtualAddress;
    std::uint32_t rawSize;
    std::uint32_t rawOffset;
};

// A resource directory table's header: how many entries follow it.
struct ResourceTableHeader {
    static constexpr std::size_t kSize = 16;
    static std::optional<ResourceTableHeader> From(ByteView bytes);
    std::size_t entryCount;  // named and ID entries together
    // Where entry index lies, from the table's start.
    static constexpr std::uint64_t EntryOffset(std::size_t index);
};

// An entry of a resource directory table: an ID (or a name, top bit set) and what it leads to.
struct ResourceEntry {
    static constexpr std::size_t kSize = 8;
    static std::optional<ResourceEntry> From(ByteView bytes);
    std::uint32_t id;
    std::uint32_t target;
    bool isSubdirectory() const { return (target & kSubdirectoryBit) != 0; }
    // From the start of the resource directory: of a subdirectory, or of a data entry.
    std::uint32_t offset() const { return target & ~kSubdirectoryBit; }

  private:
    static constexpr std::uint32_t kSubdirectoryBit = 0x80000000u;
};

constexpr std::uint64_t ResourceTableHeader::EntryOffset(std::size_t index) {
    return kSize + std::uint64_t{index} * ResourceEntry::kSize;
}

// The data entry a language leads to: where the resource's bytes lie, by RVA.
struct ResourceDataEntry {
    static constexpr std::size_t kSize = 16;
    static std::optional<ResourceDataEntry> From(ByteView bytes);
    std::uint32_t rva;
    std::uint32_t size;
};

// The NE header's two fields that bound the resource table, both from the NE header's start.
struct NeHeader {
    static constexpr std::size_t kSize = 0x28;
    static std::optional<NeHeader> From(ByteView bytes);
    std::uint16_t resourceTable;
    std::uint16_t residentNames;
};

// The NE resource table: an alignment shift, then type records, each followed by its name
// records, until a type of 0. Read front to back with Next*, each read checked against the end.
class NeResourceTable {
  public:
    struct TypeRecord {
        std::uint16_t type;
        std::uint16_t count;
    };
    struct NameRecord {
        std::uint64_t offset;  // in bytes from the start of the file, the shift applied
        std::uint64_t length;
        std::uint16_t id;
    };

    static std::optional<NeResourceTable> From(ByteView table);
    // The next type record; none at the table's end (type 0) or where it is cut.
    std::optional<TypeRecord> NextType();
    std::optional<NameRecord> NextName();

  private:
    explicit NeResourceTable(ByteView table, unsigned shift) : rest(table), shift(shift) {}
    ByteView rest;
    unsigned shift;
};

}  // namespace platform::posix
