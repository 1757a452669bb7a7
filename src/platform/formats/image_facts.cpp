#include "platform/formats/image_facts.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "platform/formats/build_views.h"
#include "platform/formats/image_views.h"
#include "platform/formats/section_map.h"
#include "platform/formats/text_encoding.h"

namespace platform::formats {

namespace {

// Bounds on what a damaged or hostile file can make the readers below examine; real files stay
// far inside them.
constexpr std::size_t kMostImportedLibraries = 4096;
constexpr std::size_t kMostImportedNames = 65536;
constexpr std::size_t kLongestImportName = 512;
constexpr std::size_t kMostDebugEntries = 64;
constexpr std::size_t kLongestCodeViewRecord = 4096;
constexpr std::size_t kLongestAssemblyName = 1024;

// Reads what lies at RVAs of one image, through its section table. What is read is kept, two
// regions of the sections at a time: the import table's lookup tables lie together, and so do
// the names they point to, which are then read in a few reads rather than one for each.
class ImageAddresses {
  public:
    ImageAddresses(const ViewOfFile& view, SectionMap sections)
        : view(view), sections(std::move(sections)) {}

    // count bytes at rva, or none where the section's stored bytes or the file hold fewer. Valid
    // until the next call.
    std::optional<ByteView> At(std::uint64_t rva, std::size_t count) {
        if (const auto kept = Kept(rva, count)) {
            return kept;
        }
        const auto range = sections.Locate(rva);
        if (!range || range->storedBytes < count) {
            return std::nullopt;
        }
        const auto wanted = static_cast<std::size_t>(
            std::min<std::uint64_t>(range->storedBytes, std::max(count, kRegion)));
        auto bytes = view(range->offset, wanted);
        if (!bytes && wanted > count) {
            bytes = view(range->offset, count);  // a file cut short may still hold these
        }
        if (!bytes) {
            return std::nullopt;
        }
        Region& region = regions[older];  // the one used less lately makes way
        older = 1 - older;
        region.bytes.assign(bytes->data(), bytes->data() + bytes->size());
        region.rva = rva;
        return ByteView(region.bytes.data(), count);
    }
    // Up to most bytes at rva, as many as its section holds.
    std::optional<ByteView> AtMost(std::uint64_t rva, std::size_t most) {
        if (const auto kept = Kept(rva, most)) {
            return kept;
        }
        const auto range = sections.Locate(rva);
        if (!range || range->storedBytes == 0) {
            return std::nullopt;
        }
        return At(rva, static_cast<std::size_t>(std::min<std::uint64_t>(range->storedBytes, most)));
    }
    // Appends the text that ends with a zero at rva to out, ASCII letters lower-cased where
    // asked, as long as it ends within most bytes; false where it does not.
    bool AppendText(std::uint64_t rva, std::size_t most, std::string& out, bool lowerCase) {
        const auto bytes = AtMost(rva, most + 1);
        if (!bytes) {
            return false;
        }
        const void* end = std::memchr(bytes->data(), 0, bytes->size());
        if (end == nullptr) {
            return false;
        }
        const std::size_t start = out.size();
        out.append(reinterpret_cast<const char*>(bytes->data()),
                   static_cast<const std::uint8_t*>(end) - bytes->data());
        if (lowerCase) {
            std::transform(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(),
                           out.begin() + static_cast<std::ptrdiff_t>(start),
                           [](char letter) { return LowerCaseAscii(letter); });
        }
        return true;
    }
    std::optional<std::string> Text(std::uint64_t rva, std::size_t most) {
        std::string text;
        return AppendText(rva, most, text, false) ? std::optional(text) : std::nullopt;
    }

  private:
    static constexpr std::size_t kRegion = 16 * 1024;
    struct Region {
        std::vector<std::uint8_t> bytes;
        std::uint64_t rva = 0;
    };

    // count bytes at rva from a region kept, marking it the one used last.
    std::optional<ByteView> Kept(std::uint64_t rva, std::size_t count) {
        for (std::size_t index = 0; index < regions.size(); ++index) {
            const Region& region = regions[index];
            if (rva >= region.rva && rva - region.rva <= region.bytes.size() &&
                count <= region.bytes.size() - (rva - region.rva)) {
                older = 1 - index;
                return ByteView(region.bytes.data() + (rva - region.rva), count);
            }
        }
        return std::nullopt;
    }

    const ViewOfFile& view;
    SectionMap sections;
    std::array<Region, 2> regions;
    std::size_t older = 0;
};

// A library's name as the import hash takes it: lower case, without a dll, ocx or sys extension.
std::string LibraryForHash(const std::string& name) {
    std::string lower = name;
    LowerCaseAscii(lower);
    const std::size_t dot = lower.rfind('.');
    if (dot != std::string::npos) {
        const std::string extension = lower.substr(dot + 1);
        if (extension == "dll" || extension == "ocx" || extension == "sys") {
            lower.erase(dot);
        }
    }
    return lower;
}

// The entries of a table of width-byte entries at rva, up to the first that ends it (read gives
// none), at most most of them. A run of entries is read at a time, so that reading what each
// points to in between does not read the table again a piece at a time.
template <typename Entry, typename Read>
std::vector<Entry> TableEntries(ImageAddresses& image, std::uint64_t rva, std::size_t width,
                                std::size_t most, const Read& read) {
    constexpr std::size_t kRun = 4096;
    std::vector<Entry> entries;
    while (entries.size() < most) {
        auto run = image.AtMost(rva, kRun / width * width);
        if (!run || run->size() < width) {
            run = image.At(rva, width);  // a file cut short may still hold the next one
        }
        if (!run) {
            break;
        }
        const std::size_t whole = run->size() / width * width;
        for (std::size_t at = 0; at < whole; at += width) {
            const auto entry = read(*run->Sub(at, width));
            if (!entry || entries.size() == most) {
                return entries;
            }
            entries.push_back(*entry);
        }
        rva += whole;
    }
    return entries;
}

// The names one library's lookup table imports, each appended to text as "library.name".
void AppendImportedNames(ImageAddresses& image, const ImportDescriptor& descriptor, bool pe32Plus,
                         const std::string& library, std::string& text, std::size_t& names) {
    const std::uint32_t table =
        descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
    const auto thunks = TableEntries<ImportThunk>(
        image, table, ImportThunk::SizeFor(pe32Plus), kMostImportedNames - names,
        [pe32Plus](ByteView bytes) -> std::optional<ImportThunk> {
            const auto thunk = ImportThunk::From(bytes, pe32Plus);
            return thunk && !thunk->IsEnd ? thunk : std::nullopt;
        });
    for (const ImportThunk& thunk : thunks) {
        const std::size_t before = text.size();
        text.append(text.empty() ? "" : ",").append(library).append(".");
        if (thunk.ByOrdinal) {
            text.append("ord").append(std::to_string(thunk.Ordinal));
        } else {
            constexpr std::size_t kHintSize = 2;
            const std::size_t nameStart = text.size();
            if (!image.AppendText(std::uint64_t{thunk.HintNameRva} + kHintSize, kLongestImportName,
                                  text, true) ||
                text.size() == nameStart) {
                text.resize(before);  // a name that cannot be read is left out
                continue;
            }
        }
        ++names;
    }
}

std::optional<std::string> ImportHashText(ImageAddresses& image, DataDirectory imports,
                                          bool pe32Plus) {
    if (!imports.Present()) {
        return std::nullopt;
    }
    const auto descriptors = TableEntries<ImportDescriptor>(
        image, imports.VirtualAddress, ImportDescriptor::kSize, kMostImportedLibraries,
        [](ByteView bytes) -> std::optional<ImportDescriptor> {
            const auto descriptor = ImportDescriptor::From(bytes);
            return descriptor && !descriptor->IsEnd ? descriptor : std::nullopt;
        });
    std::string text;
    std::size_t names = 0;
    for (const ImportDescriptor& descriptor : descriptors) {
        const auto library = image.Text(descriptor.Name, kLongestImportName);
        if (library) {
            AppendImportedNames(image, descriptor, pe32Plus, LibraryForHash(*library), text, names);
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

// The identity a symbol server files the program database under.
std::string PdbIdentity(const CodeViewRecord& record) {
    char tail[16];
    std::snprintf(tail, sizeof tail, "%X", unsigned{record.Age});
    if (!record.IsRsds) {
        char signature[16];
        std::snprintf(signature, sizeof signature, "%08X", unsigned{record.Signature});
        return signature + std::string(tail);
    }
    // The GUID's first three fields are stored little-endian and written most significant first.
    const auto& guid = record.Guid;
    const std::uint8_t ordered[16] = {guid[3],  guid[2],  guid[1],  guid[0], guid[5],  guid[4],
                                      guid[7],  guid[6],  guid[8],  guid[9], guid[10], guid[11],
                                      guid[12], guid[13], guid[14], guid[15]};
    return UpperHex(ByteView(ordered, sizeof ordered)) + tail;
}

void ReadCodeView(const ViewOfFile& view, ImageAddresses& image, DataDirectory debug,
                  BuildFacts& facts) {
    if (!debug.Present()) {
        return;
    }
    const std::size_t entries =
        std::min<std::size_t>(debug.Size / DebugDirectoryEntry::kSize, kMostDebugEntries);
    const auto table = image.At(debug.VirtualAddress, entries * DebugDirectoryEntry::kSize);
    for (std::size_t index = 0; table && index < entries; ++index) {
        const auto entry =
            DebugDirectoryEntry::From(table->From(index * DebugDirectoryEntry::kSize));
        if (!entry || entry->Type != DebugDirectoryEntry::kCodeView) {
            continue;
        }
        const std::size_t size = std::min<std::size_t>(entry->SizeOfData, kLongestCodeViewRecord);
        const auto record =
            CodeViewRecord::From(view(entry->PointerToRawData, size).value_or(ByteView()));
        if (record) {
            facts.pdbPath = std::string(record->PdbFileName.data(),
                                        record->PdbFileName.data() + record->PdbFileName.size());
            facts.pdbId = PdbIdentity(*record);
        }
        return;
    }
}

void ReadAssembly(ImageAddresses& image, DataDirectory clr, BuildFacts& facts) {
    const auto header =
        ClrHeader::From(image.At(clr.VirtualAddress, ClrHeader::kSize).value_or(ByteView()));
    if (!clr.Present() || !header || !header->MetaData.Present()) {
        return;
    }
    const std::uint32_t rootRva = header->MetaData.VirtualAddress;
    const auto root = MetadataRoot::From(
        image.AtMost(rootRva, std::min<std::uint32_t>(header->MetaData.Size, 4096))
            .value_or(ByteView()));
    if (!root || !root->Tables || !root->Strings) {
        return;
    }
    const std::uint64_t stream = std::uint64_t{rootRva} + root->Tables->Offset;
    const auto tables = TablesHeader::From(
        image.At(stream, std::min<std::size_t>(root->Tables->Size, TablesHeader::kLargestSize))
            .value_or(ByteView()));
    const auto rowOffset = tables ? AssemblyRow::FirstOffset(*tables) : std::nullopt;
    const std::size_t rowSize = tables ? AssemblyRow::SizeNeeded(*tables) : 0;
    if (!rowOffset || *rowOffset > root->Tables->Size ||
        rowSize > root->Tables->Size - *rowOffset) {
        return;
    }
    const auto row =
        AssemblyRow::From(image.At(stream + *rowOffset, rowSize).value_or(ByteView()), *tables);
    if (!row || row->Name >= root->Strings->Size) {
        return;
    }
    const auto name =
        image.Text(std::uint64_t{rootRva} + root->Strings->Offset + row->Name,
                   std::min<std::size_t>(kLongestAssemblyName, root->Strings->Size - row->Name));
    if (!name) {
        return;
    }
    char version[32];
    std::snprintf(version, sizeof version, "%u.%u.%u.%u", unsigned{row->Version[0]},
                  unsigned{row->Version[1]}, unsigned{row->Version[2]}, unsigned{row->Version[3]});
    facts.assemblyName = *name;
    facts.assemblyVersion = version;
}

void ReadBuildFacts(const ViewOfFile& view, std::uint64_t peHeader, const PeHeader& pe,
                    ImageFacts& facts) {
    const std::uint64_t optionalHeader = PeHeader::OptionalHeaderOffset(peHeader);
    const std::size_t headerSize =
        std::min<std::size_t>(pe.SizeOfOptionalHeader, OptionalHeaderFields::kLargestSize);
    const auto fields =
        OptionalHeaderFields::From(view(optionalHeader, headerSize).value_or(ByteView()));
    BuildFacts& build = facts.build.emplace();
    build.timeDateStamp = pe.TimeDateStamp;
    if (!fields) {
        return;  // a header cut short by the file tells no more
    }
    build.subsystem = fields->Subsystem;
    using Directory = OptionalHeaderFields::Directory;
    const DataDirectory security = fields->Directories[Directory::Security];
    facts.signature = SignatureLocation{
        .checkSumField = optionalHeader + OptionalHeaderFields::CheckSumOffset(),
        .certificateEntryField = optionalHeader + fields->DirectoryEntryOffset(Directory::Security),
        .tableOffset = security.VirtualAddress,
        .tableSize = security.Size};
    const auto table = view(optionalHeader + pe.SizeOfOptionalHeader,
                            std::size_t{pe.NumberOfSections} * SectionHeader::kSize);
    auto sections = SectionHeadersFrom(table.value_or(ByteView()), pe.NumberOfSections);
    if (!sections) {
        return;
    }
    ImageAddresses image(view, SectionMap(std::move(*sections)));
    build.importHashText =
        ImportHashText(image, fields->Directories[Directory::Import], fields->IsPe32Plus);
    ReadCodeView(view, image, fields->Directories[Directory::Debug], build);
    ReadAssembly(image, fields->Directories[Directory::Clr], build);
}

ImageFacts PeFacts(const ViewOfFile& view, std::uint64_t peHeader) {
    ImageFacts facts;
    const auto pe = PeHeader::From(view(peHeader, PeHeader::kSize).value_or(ByteView()));
    if (!pe) {
        return facts;
    }
    const std::uint64_t optionalHeader = PeHeader::OptionalHeaderOffset(peHeader);
    const std::size_t needed = OptionalHeaderKind::SizeNeeded(
        view(optionalHeader, OptionalHeaderKind::kMagicSize).value_or(ByteView()));
    if (needed == 0) {
        return facts;
    }
    // A header cut short (by its stated size or by the file's end) holds no CLR entry, but
    // still tells its magic.
    const std::size_t wanted = std::min<std::size_t>(needed, pe->SizeOfOptionalHeader);
    auto kind = OptionalHeaderKind::From(view(optionalHeader, wanted).value_or(ByteView()));
    if (!kind) {
        kind = OptionalHeaderKind::From(
            view(optionalHeader, OptionalHeaderKind::kMagicSize).value_or(ByteView()));
    }
    if (!kind) {
        return facts;
    }
    facts.format = kind->IsPe32Plus() ? ImageFormat::Pe32Plus : ImageFormat::Pe32;
    facts.machine = pe->Machine;
    facts.managed = kind->HasClrHeader;
    ReadBuildFacts(view, peHeader, *pe, facts);
    return facts;
}

}  // namespace

ImageFacts ReadImageFacts(const ViewOfFile& view) {
    const auto dos = DosHeader::From(view(0, DosHeader::kSize).value_or(ByteView()));
    if (!dos) {
        return {};
    }
    const auto signature = NewHeaderSignature::From(
        view(dos->e_lfanew, NewHeaderSignature::kSize).value_or(ByteView()));
    if (!signature) {
        return {};
    }
    if (signature->IsNe()) {
        ImageFacts facts;
        facts.format = ImageFormat::Ne;
        return facts;
    }
    return PeFacts(view, dos->e_lfanew);
}

const char* FormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::Pe32:
            return "PE32";
        case ImageFormat::Pe32Plus:
            return "PE32+";
        case ImageFormat::Ne:
            return "NE";
        case ImageFormat::None:
            break;
    }
    return nullptr;
}

std::string MachineName(std::uint16_t machine) {
    // IMAGE_FILE_MACHINE_*: the ones program files of Windows are made for.
    switch (machine) {
        case 0x014C:
            return "x86";
        case 0x8664:
            return "x64";
        case 0xAA64:
            return "ARM64";
        case 0xA641:
            return "ARM64EC";
        case 0x01C0:
        case 0x01C2:
        case 0x01C4:
            return "ARM";
        case 0x0200:
            return "IA64";
        default:
            break;
    }
    char number[8];
    std::snprintf(number, sizeof number, "0x%04X", unsigned{machine});
    return number;
}

}  // namespace platform::formats
