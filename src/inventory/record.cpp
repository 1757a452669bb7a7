#include "inventory/record.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "inventory/digests.h"
#include "inventory/signature_check.h"
#include "platform/ascii.h"
#include "platform/formats/version_tree.h"
#include "version/version_info.h"
#include "walk/read_failures.h"

namespace {

// VS_FF_* and VFT_*, as the fixed record holds them.
struct FlagName {
    DWORD flag;
    const char* name;
};
constexpr FlagName kFileFlags[] = {{0x01, "debug"},        {0x02, "prerelease"},
                                   {0x04, "patched"},      {0x08, "privatebuild"},
                                   {0x10, "infoinferred"}, {0x20, "specialbuild"}};

const char* FileTypeName(DWORD type) {
    switch (type) {
        case 1:
            return "app";
        case 2:
            return "dll";
        case 3:
            return "driver";
        case 4:
            return "font";
        case 5:
            return "vxd";
        case 7:
            return "static_lib";
        default:
            return "unknown";
    }
}

std::string FourHexDigits(WORD value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04hX", value);
    return text;
}

// The fixed record's versions, flags and type, as the listing's reader takes the record.
void ReadFixedValues(const unsigned char* block, InventoryRecord& record) {
    VS_FIXEDFILEINFO fixed;
    if (!ReadFixedRecord(block, fixed)) {
        return;
    }
    record.fileVersion = DottedVersion(fixed.dwFileVersionMS, fixed.dwFileVersionLS);
    record.productVersion = DottedVersion(fixed.dwProductVersionMS, fixed.dwProductVersionLS);
    record.fileFlags.emplace();
    for (const FlagName& flag : kFileFlags) {
        if ((fixed.dwFileFlags & fixed.dwFileFlagsMask & flag.flag) != 0) {
            record.fileFlags->push_back(flag.name);
        }
    }
    record.fileType = FileTypeName(fixed.dwFileType);
}

// A standard name as it is spelled in the standard (as the columns are named), whatever letter
// case the table gives it, so that a record is asked for ProductName alike of every file.
std::string StandardCaseOf(std::string name) {
    for (std::string_view standard : kStandardStringNames) {
        if (platform::EqualsIgnoringCase(name, standard)) {
            return std::string(standard);
        }
    }
    return name;
}

// Every string of the first translation's table, each as the query answers its name.
void ReadStrings(const unsigned char* block, InventoryRecord& record) {
    record.strings.emplace();
    WORD language = 0;
    WORD codePage = 0;
    if (!ReadFirstTranslation(block, language, codePage)) {
        return;
    }
    record.language = FourHexDigits(language);
    record.codePage = FourHexDigits(codePage);
    const std::string table = "\\StringFileInfo\\" + *record.language + *record.codePage;
    platform::ForEachTableString(
        block, table, [&](std::string&& name, const char* value, UINT valueLength) {
            record.strings->push_back(
                {StandardCaseOf(std::move(name)), std::string(value, strnlen(value, valueLength))});
        });
}

// IMAGE_SUBSYSTEM_*, as the format names them.
std::string SubsystemName(std::uint16_t subsystem) {
    constexpr const char* kNames[] = {"unknown",
                                      "native",
                                      "gui",
                                      "console",
                                      nullptr,
                                      "os2_console",
                                      nullptr,
                                      "posix_console",
                                      "native_windows",
                                      "windows_ce_gui",
                                      "efi_application",
                                      "efi_boot_service_driver",
                                      "efi_runtime_driver",
                                      "efi_rom",
                                      "xbox",
                                      nullptr,
                                      "windows_boot_application"};
    if (subsystem < std::size(kNames) && kNames[subsystem] != nullptr) {
        return kNames[subsystem];
    }
    return std::to_string(subsystem);
}

// A time in seconds since 1970 (as PE headers stamp them), as ISO 8601 in UTC.
std::optional<std::string> IsoTimeOfStamp(std::uint32_t seconds) {
    constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600u;
    constexpr std::uint64_t kTicksPerSecond = 10000000u;
    const std::uint64_t ticks = (seconds + kSecondsFrom1601To1970) * kTicksPerSecond;
    return IsoTime(FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)});
}

void ReadBuildFacts(const platform::formats::BuildFacts& build, InventoryRecord& record) {
    if (build.timeDateStamp != 0) {
        record.compiled = IsoTimeOfStamp(build.timeDateStamp);
    }
    if (build.subsystem) {
        record.subsystem = SubsystemName(*build.subsystem);
    }
    record.pdbPath = build.pdbPath;
    record.pdbId = build.pdbId;
    if (build.importHashText) {
        record.imphash = Md5Hex(*build.importHashText);
    }
    record.assemblyName = build.assemblyName;
    record.assemblyVersion = build.assemblyVersion;
}

// The size, the headers' facts and the digest, from the look. False when the look found no
// regular file there (gone, a FIFO, a socket, a device, a link that leads nowhere or in a loop),
// or one it could not read: error then says why. Else error is why a digest asked for could not
// be made, or 0.
bool ReadFacts(const std::string& path, const WIN32_FIND_DATAA& found, InventoryRecord& record,
               DWORD& error) {
    platform::FileFacts facts;
    if (!platform::GetFileFacts(path.c_str(), found, facts)) {
        error = GetLastError();
        return false;
    }
    record.size = facts.size;
    record.deleted = facts.deleted;
    record.format = platform::formats::FormatName(facts.image.format);
    if (facts.image.machine) {
        record.machine = platform::formats::MachineName(*facts.image.machine);
    }
    if (record.format != nullptr) {
        record.managed = facts.image.managed;
    }
    if (facts.image.build) {
        ReadBuildFacts(*facts.image.build, record);
    }
    record.sha256 = facts.digest;
    if (platform::LookExtrasOfRun().check != nullptr && facts.digestError == 0) {
        // No table to check: unsigned, as every NE file is. A file whose content could not be
        // read has no verdict: its record says why instead.
        const auto* checked = dynamic_cast<const CheckedSignature*>(facts.signature.get());
        record.signature = checked != nullptr ? checked->record : SignatureRecord{};
    }
    error = facts.digestError;
    FILETIME written{};
    if (platform::GetLastWriteTime(path.c_str(), found, written)) {
        record.modified = IsoTime(written);
    }
    return true;
}

// time as ISO 8601 in UTC, to the second or to the millisecond; none where the platform refuses
// it.
std::optional<std::string> IsoText(const FILETIME& time, bool milliseconds) {
    SYSTEMTIME calendar{};
    if (!FileTimeToSystemTime(&time, &calendar)) {
        return std::nullopt;
    }
    char seconds[48];
    std::snprintf(seconds, sizeof seconds, "%04u-%02u-%02uT%02u:%02u:%02u",
                  unsigned{calendar.wYear}, unsigned{calendar.wMonth}, unsigned{calendar.wDay},
                  unsigned{calendar.wHour}, unsigned{calendar.wMinute}, unsigned{calendar.wSecond});
    std::string text = seconds;
    if (milliseconds) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03u", unsigned{calendar.wMilliseconds});
        text += fraction;
    }
    return text + "Z";
}

// What the file could not give, when it counts as a failure: the record says why.
RecordOutcome Fail(InventoryRecord& record, DWORD& error, DWORD cause) {
    error = cause;
    record.error = platform::ErrorText(cause);
    return RecordOutcome::Failed;
}

}  // namespace

RecordOutcome ReadRecord(const std::string& path, const WIN32_FIND_DATAA& found,
                         bool unversionedWanted, InventoryRecord& record, DWORD& error) {
    record = {};
    record.path = path;
    unsigned char* block = LoadVersionBlock(path.c_str());
    if (block == nullptr) {
        const DWORD cause = GetLastError();
        if (FileFailureCounts(cause)) {
            return Fail(record, error, cause);
        }
        if (!unversionedWanted) {
            return RecordOutcome::Unversioned;  // no record is written: its facts go unread
        }
    } else {
        ReadFixedValues(block, record);
        ReadStrings(block, record);
        ReleaseVersionBlock(block);
    }
    DWORD cause = ERROR_SUCCESS;
    const bool looked = ReadFacts(path, found, record, cause);
    if (FileFailureCounts(cause)) {
        return Fail(record, error, cause);
    }
    if (block != nullptr) {
        return RecordOutcome::Versioned;  // listed, whatever more its look could tell
    }
    // No version information and no regular file there: nothing to tell of, as the listing has it.
    return looked ? RecordOutcome::Unversioned : RecordOutcome::NoFile;
}

std::optional<std::string> FlagsAsText(const std::optional<std::vector<const char*>>& flags) {
    if (!flags) {
        return std::nullopt;
    }
    std::string text;
    for (const char* flag : *flags) {
        text.append(text.empty() ? "" : "|").append(flag);
    }
    return text;
}

const std::string* StandardString(const InventoryRecord& record, std::string_view name) {
    if (!record.strings) {
        return nullptr;
    }
    const auto found = std::find_if(record.strings->begin(), record.strings->end(),
                                    [name](const NamedString& named) {
                                        return platform::EqualsIgnoringCase(named.name, name);
                                    });
    return found != record.strings->end() ? &found->value : nullptr;
}

std::optional<std::string> IsoTime(const FILETIME& time) {
    return IsoText(time, false);
}

std::string IsoTimeNow() {
    // FILETIME counts 100 ns from 1601; the system clock from 1970. To the millisecond, so that
    // two scans of a host made within a second are still told apart.
    constexpr std::uint64_t kMillisecondsFrom1601To1970 = 11644473600000u;
    constexpr std::uint64_t kTicksPerMillisecond = 10000u;
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(milliseconds) + kMillisecondsFrom1601To1970) *
        kTicksPerMillisecond;
    const FILETIME now{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return IsoText(now, true).value_or(std::string());
}

std::array<const std::optional<std::string>*, 7> BuildFieldValues(const InventoryRecord& record) {
    return {&record.compiled, &record.subsystem,    &record.pdbPath,        &record.pdbId,
            &record.imphash,  &record.assemblyName, &record.assemblyVersion};
}

std::array<std::optional<std::string>, 11> SignatureFieldValues(const InventoryRecord& record) {
    if (!record.signature) {
        return {};
    }
    const SignatureRecord& signature = *record.signature;
    return {std::string(signature.status),
            signature.digestAlgorithm,
            signature.signer,
            signature.signerSubject,
            signature.issuer,
            signature.serial,
            signature.thumbprint,
            signature.programName,
            signature.signingTime,
            std::string(signature.catalog ? "true" : "false"),
            std::to_string(signature.nested.size())};
}
