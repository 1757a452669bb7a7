#include "platform/posix/version_resources/executable_image.h"

#include <algorithm>
#include <array>
#include <queue>
#include <span>
#include <vector>

#include "platform/formats/image_views.h"
#include "platform/formats/section_map.h"

namespace platform::posix {

using namespace formats;  // the structures of PE and NE files

namespace {

constexpr std::uint32_t kVersionType = 16;
constexpr std::uint32_t kVersionName = 1;
constexpr std::uint32_t kNeutralLanguage = 0;
constexpr std::uint32_t kEnglishUnitedStates = 0x0409;
constexpr std::uint16_t kNeVersionType = 0x8010;
constexpr std::uint16_t kNeVersionName = 0x8001;
// A version block's lengths are 16-bit, so no more than this is ever needed of a resource.
constexpr std::uint32_t kLargestVersionBlock = 0xFFFF;

#if defined(QUILLET_COUNT_WORK)
thread_local std::uint64_t structuresExamined = 0;
#endif

// Counts the structures examined, in the build of the reader that shows its work grows linearly
// with what a file holds; nothing in the tool's own.
void CountExamined(std::uint64_t count) {
#if defined(QUILLET_COUNT_WORK)
    structuresExamined += count;
#else
    static_cast<void>(count);
#endif
}

// Where the section map counts its look-ups' comparisons: in the build that shows its work.
std::uint64_t* Counter() {
#if defined(QUILLET_COUNT_WORK)
    return &structuresExamined;
#else
    return nullptr;
#endif
}

// What a search of a resource table prefers: the first of these IDs found, in this order of
// preference, else (when elseFirst) the table's first entry.
struct Preference {
    std::span<const std::uint32_t> ids;
    bool elseFirst;
};

constexpr std::array<std::uint32_t, 1> kVersionTypeId = {kVersionType};
constexpr std::array<std::uint32_t, 1> kVersionNameId = {kVersionName};
constexpr std::array<std::uint32_t, 2> kPreferredLanguages = {kNeutralLanguage,
                                                              kEnglishUnitedStates};

class PeImage {
  public:
    PeImage(FileSource& source, std::uint32_t resourceRva, std::vector<SectionHeader> sections)
        : file(source), resourceRva(resourceRva), sections(std::move(sections), Counter()) {}

    std::optional<ResourceLocation> FindVersionResource();

  private:
    std::optional<ByteView> ViewResource(std::uint64_t offsetInDirectory, std::size_t count);
    std::optional<ResourceEntry> ChooseEntry(std::uint32_t table, Preference preference);
    std::optional<std::uint32_t> Subdirectory(std::uint32_t table, Preference preference);
    std::optional<ResourceLocation> ReadDataEntry(std::optional<ResourceEntry> entry);

    FileSource& file;
    std::uint32_t resourceRva;
    SectionMap sections;
};

std::optional<ByteView> PeImage::ViewResource(std::uint64_t offsetInDirectory, std::size_t count) {
    const auto range = sections.Locate(resourceRva + offsetInDirectory);
    if (!range || range->storedBytes < count) {
        return std::nullopt;
    }
    return file.View(range->offset, count);
}

// The entry the preference picks, looking at the entries until one cannot be read.
std::optional<ResourceEntry> PeImage::ChooseEntry(std::uint32_t table, Preference preference) {
    const auto header = ResourceTableHeader::From(
        ViewResource(table, ResourceTableHeader::kSize).value_or(ByteView()));
    if (!header) {
        return std::nullopt;
    }
    std::optional<ResourceEntry> chosen;
    std::size_t chosenRank = preference.ids.size() + 1;
    for (std::size_t index = 0; index < header->EntryCount(); ++index) {
        const auto entry = ResourceEntry::From(
            ViewResource(table + ResourceTableHeader::EntryOffset(index), ResourceEntry::kSize)
                .value_or(ByteView()));
        if (!entry) {
            break;
        }
        const auto preferred = std::find(preference.ids.begin(), preference.ids.end(), entry->Name);
        const auto rank = static_cast<std::size_t>(preferred - preference.ids.begin());
        if (rank == 0) {
            return entry;
        }
        if (rank < chosenRank && (rank < preference.ids.size() || preference.elseFirst)) {
            chosen = entry;
            chosenRank = rank;
        }
    }
    return chosen;
}

std::optional<std::uint32_t> PeImage::Subdirectory(std::uint32_t table, Preference preference) {
    const auto entry = ChooseEntry(table, preference);
    if (!entry || !entry->IsSubdirectory()) {
        return std::nullopt;
    }
    return entry->Offset();
}

std::optional<ResourceLocation> PeImage::ReadDataEntry(std::optional<ResourceEntry> entry) {
    if (!entry || entry->IsSubdirectory()) {
        return std::nullopt;
    }
    const auto data = ResourceDataEntry::From(
        ViewResource(entry->Offset(), ResourceDataEntry::kSize).value_or(ByteView()));
    if (!data) {
        return std::nullopt;
    }
    const std::uint32_t size = std::min(data->Size, kLargestVersionBlock);
    const auto range = sections.Locate(data->OffsetToData);
    if (size == 0 || !range) {
        return std::nullopt;
    }
    // Whether the file holds the stored bytes is for the read of them to find out.
    const auto stored =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(range->storedBytes, size));
    return ResourceLocation{range->offset, size, stored};
}

std::optional<ResourceLocation> PeImage::FindVersionResource() {
    constexpr std::uint32_t kRoot = 0;
    const auto names = Subdirectory(kRoot, {kVersionTypeId, false});
    const auto languages = names ? Subdirectory(*names, {kVersionNameId, false}) : std::nullopt;
    return languages ? ReadDataEntry(ChooseEntry(*languages, {kPreferredLanguages, true}))
                     : std::nullopt;
}

std::optional<std::vector<SectionHeader>> ReadSectionTable(FileSource& file, std::uint64_t table,
                                                           std::uint16_t count) {
    std::vector<std::uint8_t> storage;
    auto sections = SectionHeadersFrom(
        file.Read(table, std::size_t{count} * SectionHeader::kSize, storage).value_or(ByteView()),
        count);
    if (sections) {
        CountExamined(count);
    }
    return sections;
}

std::optional<ResourceLocation> FindPeVersionResource(FileSource& file, std::uint64_t peHeader) {
    const auto pe = PeHeader::From(file.View(peHeader, PeHeader::kSize).value_or(ByteView()));
    if (!pe) {
        return std::nullopt;
    }
    const std::uint64_t optionalHeader = PeHeader::OptionalHeaderOffset(peHeader);
    const std::size_t needed = ResourceDataDirectory::SizeNeeded(
        file.View(optionalHeader, ResourceDataDirectory::kMagicSize).value_or(ByteView()));
    if (needed == 0 || pe->SizeOfOptionalHeader < needed) {
        return std::nullopt;
    }
    const auto resources =
        ResourceDataDirectory::From(file.View(optionalHeader, needed).value_or(ByteView()));
    if (!resources) {
        return std::nullopt;
    }
    auto sections =
        ReadSectionTable(file, optionalHeader + pe->SizeOfOptionalHeader, pe->NumberOfSections);
    if (!sections) {
        return std::nullopt;
    }
    PeImage image(file, resources->VirtualAddress, std::move(*sections));
    return image.FindVersionResource();
}

std::optional<ResourceLocation> FindNeVersionResource(FileSource& file, std::uint64_t neHeader) {
    const auto header = NeHeader::From(file.View(neHeader, NeHeader::kSize).value_or(ByteView()));
    if (!header || header->ne_restab <= header->ne_rsrctab) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> storage;
    auto table = NeResourceTable::From(
        file.Read(neHeader + header->ne_rsrctab,
                  std::size_t{header->ne_restab} - header->ne_rsrctab, storage)
            .value_or(ByteView()));
    if (!table) {
        return std::nullopt;
    }
    while (const auto type = table->NextType()) {
        for (std::size_t index = 0; index < type->rtResourceCount; ++index) {
            const auto name = table->NextName();
            CountExamined(1);
            if (!name) {
                return std::nullopt;
            }
            if (type->rtTypeID == kNeVersionType && name->rnID == kNeVersionName) {
                const auto size = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(name->rnLength, kLargestVersionBlock));
                if (size == 0 || name->rnOffset > file.Size() ||
                    size > file.Size() - name->rnOffset) {
                    return std::nullopt;
                }
                return ResourceLocation{name->rnOffset, size, size};
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<ResourceLocation> FindVersionResource(FileSource& file) {
    const auto dos = DosHeader::From(file.View(0, DosHeader::kSize).value_or(ByteView()));
    if (!dos) {
        return std::nullopt;
    }
    const auto signature = NewHeaderSignature::From(
        file.View(dos->e_lfanew, NewHeaderSignature::kSize).value_or(ByteView()));
    if (!signature) {
        return std::nullopt;
    }
    return signature->IsNe() ? FindNeVersionResource(file, dos->e_lfanew)
                             : FindPeVersionResource(file, dos->e_lfanew);
}

#if defined(QUILLET_COUNT_WORK)
std::uint64_t StructuresExamined() {
    return structuresExamined;
}
#endif

}  // namespace platform::posix
