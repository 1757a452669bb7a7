// Named, checked views of the structures a PE image's build facts and signature are read from:
// the optional header's fields and data directories, the import table, the debug directory and its
// CodeView record, the CLR header and the .NET metadata's root and tables stream. Alike to
// image_views.h by design: each checks once that the bytes hold it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/formats/byte_view.h"

namespace platform::formats {

// IMAGE_DATA_DIRECTORY.
struct DataDirectory {
    std::uint32_t VirtualAddress = 0;
    std::uint32_t Size = 0;
    bool Present() const { return VirtualAddress != 0 && Size != 0; }
};

// The optional header's fields past its Magic that the build facts and the signature need, from
// the header's bytes as far as SizeOfOptionalHeader (or the file) reaches; directories the header
// does not reach, or NumberOfRvaAndSizes does not count, are empty.
struct OptionalHeaderFields {
    static constexpr std::size_t kLargestSize = 240;  // PE32+ with all 16 directories
    static std::optional<OptionalHeaderFields> From(ByteView optionalHeader);
    enum Directory : std::size_t { Import = 1, Security = 4, Debug = 6, Clr = 14, kCount = 16 };

    std::uint16_t Magic;
    std::optional<std::uint16_t> Subsystem;
    std::array<formats::DataDirectory, kCount> Directories;
    bool IsPe32Plus;
    // Where, from the optional header's start, the CheckSum field and a directory's entry lie.
    static constexpr std::size_t CheckSumOffset() { return 64; }
    std::size_t DirectoryEntryOffset(std::size_t index) const;
};

// IMAGE_IMPORT_DESCRIPTOR; the table ends with one of all zeros.
struct ImportDescriptor {
    static constexpr std::size_t kSize = 20;
    static std::optional<ImportDescriptor> From(ByteView bytes);
    std::uint32_t OriginalFirstThunk;
    std::uint32_t Name;
    std::uint32_t FirstThunk;
    bool IsEnd = false;
};

// One entry of an import lookup table: an ordinal (its top bit set) or the RVA of a hint and
// name; 0 ends the table.
struct ImportThunk {
    static std::size_t SizeFor(bool pe32Plus) { return pe32Plus ? 8 : 4; }
    static std::optional<ImportThunk> From(ByteView bytes, bool pe32Plus);
    bool IsEnd;
    bool ByOrdinal;
    std::uint16_t Ordinal;
    std::uint32_t HintNameRva;
};

// IMAGE_DEBUG_DIRECTORY.
struct DebugDirectoryEntry {
    static constexpr std::size_t kSize = 28;
    static constexpr std::uint32_t kCodeView = 2;  // IMAGE_DEBUG_TYPE_CODEVIEW
    static std::optional<DebugDirectoryEntry> From(ByteView bytes);
    std::uint32_t Type;
    std::uint32_t SizeOfData;
    std::uint32_t PointerToRawData;
};

// A CodeView record: "RSDS" (a GUID and an age) or "NB10" (a signature and an age), then the
// program database's path.
struct CodeViewRecord {
    static std::optional<CodeViewRecord> From(ByteView bytes);
    bool IsRsds;
    std::array<std::uint8_t, 16> Guid;  // RSDS: as stored
    std::uint32_t Signature;            // NB10
    std::uint32_t Age;
    ByteView PdbFileName;  // up to its terminating zero, or the record's end
};

// IMAGE_COR20_HEADER as far as its metadata's directory.
struct ClrHeader {
    static constexpr std::size_t kSize = 16;
    static std::optional<ClrHeader> From(ByteView bytes);
    DataDirectory MetaData;
};

// The metadata root ("BSJB") and its stream headers: where the tables stream and the strings heap
// lie, from the root's start.
struct MetadataRoot {
    static std::optional<MetadataRoot> From(ByteView root);
    struct Stream {
        std::uint32_t Offset = 0;
        std::uint32_t Size = 0;
    };
    std::optional<Stream> Tables;   // "#~" (or the uncompressed "#-")
    std::optional<Stream> Strings;  // "#Strings"
};

// The tables stream's header: which tables are present, how many rows each has, how wide the heaps'
// indexes are, and where the first table's rows begin.
struct TablesHeader {
    static constexpr std::size_t kTableCount = 64;
    // The most bytes the header can take: what From needs of the stream's start.
    static constexpr std::size_t kLargestSize = 24 + 4 * kTableCount + 4;
    static std::optional<TablesHeader> From(ByteView stream);
    std::uint8_t HeapSizes;
    std::array<std::uint32_t, kTableCount> Rows;
    std::size_t RowsStart;  // from the stream's start
};

// A row of the Assembly table (0x20).
struct AssemblyRow {
    std::array<std::uint16_t, 4> Version;  // major, minor, build, revision
    std::uint32_t Name;                    // into the strings heap
    // Where the table's first row lies from the stream's start, worked out from the rows and
    // widths of the tables before it (ECMA-335, partition II, 22); none without one.
    static std::optional<std::uint64_t> FirstOffset(const TablesHeader& header);
    // A row's width, as far as its Name.
    static std::size_t SizeNeeded(const TablesHeader& header);
    static std::optional<AssemblyRow> From(ByteView row, const TablesHeader& header);
};

}  // namespace platform::formats
