#include "platform/formats/build_views.h"

#include <algorithm>
#include <initializer_list>

namespace platform::formats {

namespace {

// Where each field read lies in its structure, under the name the format gives it.
namespace image_optional_header {
constexpr std::size_t Magic = 0;
constexpr std::size_t Subsystem = 68;
constexpr std::size_t NumberOfRvaAndSizes32 = 92;
constexpr std::size_t DataDirectory32 = 96;
constexpr std::size_t NumberOfRvaAndSizes64 = 108;
constexpr std::size_t DataDirectory64 = 112;
constexpr std::size_t DataDirectorySize = 8;
}  // namespace image_optional_header

namespace image_import_descriptor {
constexpr std::size_t OriginalFirstThunk = 0;
constexpr std::size_t Name = 12;
constexpr std::size_t FirstThunk = 16;
}  // namespace image_import_descriptor

namespace image_debug_directory {
constexpr std::size_t Type = 12;
constexpr std::size_t SizeOfData = 16;
constexpr std::size_t PointerToRawData = 24;
}  // namespace image_debug_directory

namespace codeview_rsds {
constexpr std::size_t Guid = 4;
constexpr std::size_t Age = 20;
constexpr std::size_t PdbFileName = 24;
}  // namespace codeview_rsds

namespace codeview_nb10 {
constexpr std::size_t Signature = 8;
constexpr std::size_t Age = 12;
constexpr std::size_t PdbFileName = 16;
}  // namespace codeview_nb10

namespace image_cor20_header {
constexpr std::size_t MetaData = 8;
}  // namespace image_cor20_header

namespace metadata_root {
constexpr std::size_t Signature = 0;
constexpr std::size_t Length = 12;
constexpr std::size_t Version = 16;  // Length bytes, then Flags (2) and Streams (2)
constexpr std::size_t StreamsAfterVersion = 2;
constexpr std::size_t StreamHeaders = 4;  // after the version
constexpr std::size_t LongestStreamName = 32;
}  // namespace metadata_root

namespace tables_header {
constexpr std::size_t HeapSizes = 6;
constexpr std::size_t Valid = 8;
constexpr std::size_t Rows = 24;
}  // namespace tables_header

constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kRsds = 0x53445352;               // "RSDS"
constexpr std::uint32_t kNb10 = 0x3031424E;               // "NB10"
constexpr std::uint32_t kMetadataSignature = 0x424A5342;  // "BSJB"
constexpr std::uint32_t kLongestVersionText = 255;
constexpr std::uint16_t kMostStreams = 64;

std::size_t DirectoriesAt(bool pe32Plus) {
    return pe32Plus ? image_optional_header::DataDirectory64
                    : image_optional_header::DataDirectory32;
}

}  // namespace

std::optional<OptionalHeaderFields> OptionalHeaderFields::From(ByteView optionalHeader) {
    const auto magic = optionalHeader.Read16(image_optional_header::Magic);
    if (!magic || (*magic != kPe32Magic && *magic != kPe32PlusMagic)) {
        return std::nullopt;
    }
    OptionalHeaderFields fields{
        .Magic = *magic,
        .Subsystem = optionalHeader.Read16(image_optional_header::Subsystem),
        .Directories = {},
        .IsPe32Plus = *magic == kPe32PlusMagic};
    const auto count =
        optionalHeader.Read32(fields.IsPe32Plus ? image_optional_header::NumberOfRvaAndSizes64
                                                : image_optional_header::NumberOfRvaAndSizes32);
    const std::size_t counted = std::min<std::size_t>(count.value_or(0), kCount);
    for (std::size_t index = 0; index < counted; ++index) {
        const std::size_t entry = fields.DirectoryEntryOffset(index);
        const auto address = optionalHeader.Read32(entry);
        const auto size = optionalHeader.Read32(entry + 4);
        if (!address || !size) {
            break;
        }
        fields.Directories[index] = {*address, *size};
    }
    return fields;
}

std::size_t OptionalHeaderFields::DirectoryEntryOffset(std::size_t index) const {
    return DirectoriesAt(IsPe32Plus) + index * image_optional_header::DataDirectorySize;
}

std::optional<ImportDescriptor> ImportDescriptor::From(ByteView bytes) {
    if (!bytes.Contains(0, kSize)) {
        return std::nullopt;
    }
    const bool allZero = std::all_of(bytes.data(), bytes.data() + kSize,
                                     [](std::uint8_t byte) { return byte == 0; });
    return ImportDescriptor{
        .OriginalFirstThunk = *bytes.Read32(image_import_descriptor::OriginalFirstThunk),
        .Name = *bytes.Read32(image_import_descriptor::Name),
        .FirstThunk = *bytes.Read32(image_import_descriptor::FirstThunk),
        .IsEnd = allZero};
}

std::optional<ImportThunk> ImportThunk::From(ByteView bytes, bool pe32Plus) {
    const auto low = bytes.Read32(0);
    const auto high = pe32Plus ? bytes.Read32(4) : std::optional<std::uint32_t>(0);
    if (!low || !high) {
        return std::nullopt;
    }
    constexpr std::uint32_t kTopBit = 0x80000000u;
    const bool byOrdinal = pe32Plus ? (*high & kTopBit) != 0 : (*low & kTopBit) != 0;
    return ImportThunk{.IsEnd = *low == 0 && *high == 0,
                       .ByOrdinal = byOrdinal,
                       .Ordinal = static_cast<std::uint16_t>(*low & 0xFFFF),
                       .HintNameRva = *low & ~kTopBit};
}

std::optional<DebugDirectoryEntry> DebugDirectoryEntry::From(ByteView bytes) {
    if (!bytes.Contains(0, kSize)) {
        return std::nullopt;
    }
    return DebugDirectoryEntry{
        .Type = *bytes.Read32(image_debug_directory::Type),
        .SizeOfData = *bytes.Read32(image_debug_directory::SizeOfData),
        .PointerToRawData = *bytes.Read32(image_debug_directory::PointerToRawData)};
}

namespace {
// The bytes up to the first zero, or all of them.
ByteView UpToZero(ByteView bytes) {
    const auto end = std::find(bytes.data(), bytes.data() + bytes.size(), std::uint8_t{0});
    return ByteView(bytes.data(), static_cast<std::size_t>(end - bytes.data()));
}
}  // namespace

std::optional<CodeViewRecord> CodeViewRecord::From(ByteView bytes) {
    const auto signature = bytes.Read32(0);
    if (signature == kRsds && bytes.Contains(0, codeview_rsds::PdbFileName)) {
        CodeViewRecord record{.IsRsds = true,
                              .Guid = {},
                              .Signature = 0,
                              .Age = *bytes.Read32(codeview_rsds::Age),
                              .PdbFileName = UpToZero(bytes.From(codeview_rsds::PdbFileName))};
        std::copy_n(bytes.data() + codeview_rsds::Guid, record.Guid.size(), record.Guid.begin());
        return record;
    }
    if (signature == kNb10 && bytes.Contains(0, codeview_nb10::PdbFileName)) {
        return CodeViewRecord{.IsRsds = false,
                              .Guid = {},
                              .Signature = *bytes.Read32(codeview_nb10::Signature),
                              .Age = *bytes.Read32(codeview_nb10::Age),
                              .PdbFileName = UpToZero(bytes.From(codeview_nb10::PdbFileName))};
    }
    return std::nullopt;
}

std::optional<ClrHeader> ClrHeader::From(ByteView bytes) {
    if (!bytes.Contains(0, kSize)) {
        return std::nullopt;
    }
    return ClrHeader{.MetaData = {*bytes.Read32(image_cor20_header::MetaData),
                                  *bytes.Read32(image_cor20_header::MetaData + 4)}};
}

std::optional<MetadataRoot> MetadataRoot::From(ByteView root) {
    const auto length = root.Read32(metadata_root::Length);
    if (root.Read32(metadata_root::Signature) != kMetadataSignature || !length ||
        *length > kLongestVersionText) {
        return std::nullopt;
    }
    const std::size_t afterVersion = metadata_root::Version + *length;
    const auto streams = root.Read16(afterVersion + metadata_root::StreamsAfterVersion);
    if (!streams) {
        return std::nullopt;
    }
    MetadataRoot found;
    std::size_t at = afterVersion + metadata_root::StreamHeaders;
    for (std::uint16_t index = 0; index < std::min(*streams, kMostStreams); ++index) {
        const auto offset = root.Read32(at);
        const auto size = root.Read32(at + 4);
        const ByteView nameArea = root.From(at + 8);
        const ByteView limited =
            ByteView(nameArea.data(), std::min(nameArea.size(), metadata_root::LongestStreamName));
        const ByteView name = UpToZero(limited);
        if (!offset || !size || name.size() == limited.size()) {
            break;  // cut short, or a name with no end
        }
        const std::string text(name.data(), name.data() + name.size());
        if (text == "#~" || text == "#-") {
            found.Tables = Stream{*offset, *size};
        } else if (text == "#Strings") {
            found.Strings = Stream{*offset, *size};
        }
        at += 8 + AlignTo4(name.size() + 1);
    }
    return found;
}

std::optional<TablesHeader> TablesHeader::From(ByteView stream) {
    const auto heapSizes = stream.Read8(tables_header::HeapSizes);
    const auto validLow = stream.Read32(tables_header::Valid);
    const auto validHigh = stream.Read32(tables_header::Valid + 4);
    if (!heapSizes || !validLow || !validHigh) {
        return std::nullopt;
    }
    const std::uint64_t valid = std::uint64_t{*validHigh} << 32 | *validLow;
    TablesHeader header{.HeapSizes = *heapSizes, .Rows = {}, .RowsStart = tables_header::Rows};
    for (std::size_t table = 0; table < kTableCount; ++table) {
        if ((valid >> table & 1) == 0) {
            continue;
        }
        const auto rows = stream.Read32(header.RowsStart);
        if (!rows) {
            return std::nullopt;
        }
        header.Rows[table] = *rows;
        header.RowsStart += 4;
    }
    constexpr std::uint8_t kExtraData = 0x40;  // four more bytes after the row counts
    if ((header.HeapSizes & kExtraData) != 0) {
        header.RowsStart += 4;
    }
    return header;
}

namespace {

// The metadata tables (ECMA-335, partition II, 22) as far as Assembly, by number, and the kinds
// of column they hold; a column's width depends on the heaps' and the tables' sizes.
enum Table : std::uint8_t {
    Module = 0x00,
    TypeRef,
    TypeDef,
    FieldPtr,
    Field,
    MethodPtr,
    MethodDef,
    ParamPtr,
    Param,
    InterfaceImpl,
    MemberRef,
    Constant,
    CustomAttribute,
    FieldMarshal,
    DeclSecurity,
    ClassLayout,
    FieldLayout,
    StandAloneSig,
    EventMap,
    EventPtr,
    Event,
    PropertyMap,
    PropertyPtr,
    Property,
    MethodSemantics,
    MethodImpl,
    ModuleRef,
    TypeSpec,
    ImplMap,
    FieldRva,
    EncLog,
    EncMap,
    Assembly,
    AssemblyRef = 0x23,
    File = 0x26,
    ExportedType,
    ManifestResource,
    GenericParam = 0x2A,
    MethodSpec,
    GenericParamConstraint,
    kNone = 0xFF
};

// Coded indexes: how many tag bits, and the tables they choose among (kNone for an unused tag).
struct CodedIndex {
    unsigned tagBits;
    std::initializer_list<Table> tables;
};
const CodedIndex kTypeDefOrRef{2, {TypeDef, TypeRef, TypeSpec}};
const CodedIndex kHasConstant{2, {Field, Param, Property}};
const CodedIndex kHasCustomAttribute{5, {MethodDef,        Field,        TypeRef,
                                         TypeDef,          Param,        InterfaceImpl,
                                         MemberRef,        Module,       DeclSecurity,
                                         Property,         Event,        StandAloneSig,
                                         ModuleRef,        TypeSpec,     Assembly,
                                         AssemblyRef,      File,         ExportedType,
                                         ManifestResource, GenericParam, GenericParamConstraint,
                                         MethodSpec}};
const CodedIndex kHasFieldMarshal{1, {Field, Param}};
const CodedIndex kHasDeclSecurity{2, {TypeDef, MethodDef, Assembly}};
const CodedIndex kMemberRefParent{3, {TypeDef, TypeRef, ModuleRef, MethodDef, TypeSpec}};
const CodedIndex kHasSemantics{1, {Event, Property}};
const CodedIndex kMethodDefOrRef{1, {MethodDef, MemberRef}};
const CodedIndex kMemberForwarded{1, {Field, MethodDef}};
const CodedIndex kCustomAttributeType{3, {kNone, kNone, MethodDef, MemberRef, kNone}};
const CodedIndex kResolutionScope{2, {Module, ModuleRef, AssemblyRef, TypeRef}};

class RowWidths {
  public:
    explicit RowWidths(const TablesHeader& header) : header(header) {}

    std::uint64_t Of(Table table) const {
        switch (table) {
            case Module:
                return 2 + Str() + 3 * Guid();
            case TypeRef:
                return Coded(kResolutionScope) + 2 * Str();
            case TypeDef:
                return 4 + 2 * Str() + Coded(kTypeDefOrRef) + Index(Field) + Index(MethodDef);
            case FieldPtr:
                return Index(Field);
            case Field:
                return 2 + Str() + Blob();
            case MethodPtr:
                return Index(MethodDef);
            case MethodDef:
                return 4 + 2 + 2 + Str() + Blob() + Index(Param);
            case ParamPtr:
                return Index(Param);
            case Param:
                return 2 + 2 + Str();
            case InterfaceImpl:
                return Index(TypeDef) + Coded(kTypeDefOrRef);
            case MemberRef:
                return Coded(kMemberRefParent) + Str() + Blob();
            case Constant:
                return 2 + Coded(kHasConstant) + Blob();
            case CustomAttribute:
                return Coded(kHasCustomAttribute) + Coded(kCustomAttributeType) + Blob();
            case FieldMarshal:
                return Coded(kHasFieldMarshal) + Blob();
            case DeclSecurity:
                return 2 + Coded(kHasDeclSecurity) + Blob();
            case ClassLayout:
                return 2 + 4 + Index(TypeDef);
            case FieldLayout:
                return 4 + Index(Field);
            case StandAloneSig:
                return Blob();
            case EventMap:
                return Index(TypeDef) + Index(Event);
            case EventPtr:
                return Index(Event);
            case Event:
                return 2 + Str() + Coded(kTypeDefOrRef);
            case PropertyMap:
                return Index(TypeDef) + Index(Property);
            case PropertyPtr:
                return Index(Property);
            case Property:
                return 2 + Str() + Blob();
            case MethodSemantics:
                return 2 + Index(MethodDef) + Coded(kHasSemantics);
            case MethodImpl:
                return Index(TypeDef) + 2 * Coded(kMethodDefOrRef);
            case ModuleRef:
                return Str();
            case TypeSpec:
                return Blob();
            case ImplMap:
                return 2 + Coded(kMemberForwarded) + Str() + Index(ModuleRef);
            case FieldRva:
                return 4 + Index(Field);
            case EncLog:
                return 4 + 4;
            case EncMap:
                return 4;
            default:
                return 0;
        }
    }
    std::uint64_t Str() const { return (header.HeapSizes & 0x01) != 0 ? 4 : 2; }
    std::uint64_t Blob() const { return (header.HeapSizes & 0x04) != 0 ? 4 : 2; }

  private:
    std::uint64_t Guid() const { return (header.HeapSizes & 0x02) != 0 ? 4 : 2; }
    std::uint64_t Index(Table table) const { return header.Rows[table] > 0xFFFF ? 4 : 2; }
    std::uint64_t Coded(const CodedIndex& index) const {
        std::uint32_t most = 0;
        for (const Table table : index.tables) {
            most = table == kNone ? most : std::max(most, header.Rows[table]);
        }
        return most < (std::uint32_t{1} << (16 - index.tagBits)) ? 2 : 4;
    }

    const TablesHeader& header;
};

}  // namespace

std::optional<std::uint64_t> AssemblyRow::FirstOffset(const TablesHeader& header) {
    if (header.Rows[Assembly] == 0) {
        return std::nullopt;
    }
    const RowWidths widths(header);
    std::uint64_t at = header.RowsStart;
    for (std::uint8_t table = Module; table < Assembly; ++table) {
        at += std::uint64_t{header.Rows[table]} * widths.Of(static_cast<Table>(table));
    }
    return at;
}

namespace assembly_row {
constexpr std::size_t MajorVersion = 4;  // after HashAlgId; then minor, build and revision
constexpr std::size_t PublicKey = 16;    // after Flags; a blob index, then Name
}  // namespace assembly_row

std::size_t AssemblyRow::SizeNeeded(const TablesHeader& header) {
    const RowWidths widths(header);
    return static_cast<std::size_t>(assembly_row::PublicKey + widths.Blob() + widths.Str());
}

std::optional<AssemblyRow> AssemblyRow::From(ByteView row, const TablesHeader& header) {
    if (!row.Contains(0, SizeNeeded(header))) {
        return std::nullopt;
    }
    const RowWidths widths(header);
    AssemblyRow found{};
    for (std::size_t part = 0; part < 4; ++part) {
        found.Version[part] = *row.Read16(assembly_row::MajorVersion + 2 * part);
    }
    const std::size_t name = static_cast<std::size_t>(assembly_row::PublicKey + widths.Blob());
    found.Name = widths.Str() == 4 ? *row.Read32(name) : *row.Read16(name);
    return found;
}

}  // namespace platform::formats
