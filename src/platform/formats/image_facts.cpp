#include "platform/formats/image_facts.h"

#include <algorithm>
#include <cstdio>

#include "platform/formats/image_views.h"

namespace platform::formats {

namespace {

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
        return ImageFacts{.format = ImageFormat::Ne, .machine = std::nullopt, .managed = false};
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
