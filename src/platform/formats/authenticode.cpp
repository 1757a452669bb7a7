#include "platform/formats/authenticode.h"

#include <algorithm>
#include <array>

#include "platform/formats/text_encoding.h"

namespace platform::formats {

namespace {

namespace win_certificate {
constexpr std::size_t dwLength = 0;
constexpr std::size_t wRevision = 4;
constexpr std::size_t wCertificateType = 6;
}  // namespace win_certificate

constexpr std::uint16_t kRevision2 = 0x0200;       // WIN_CERT_REVISION_2_0
constexpr std::uint16_t kPkcsSignedData = 0x0002;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA

constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kObjectIdentifier = 0x06;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::uint8_t kContextConstructed0 = 0xA0;   // [0] EXPLICIT
constexpr std::uint8_t kContextPrimitive0 = 0x80;     // [0] IMPLICIT BMPString
constexpr std::uint8_t kContextPrimitive1 = 0x81;     // [1] IMPLICIT IA5String
constexpr std::size_t kLongestObjectIdentifier = 64;  // bytes of contents

}  // namespace

std::optional<WinCertificate> WinCertificate::From(ByteView table) {
    const auto length = table.Read32(win_certificate::dwLength);
    const auto revision = table.Read16(win_certificate::wRevision);
    const auto type = table.Read16(win_certificate::wCertificateType);
    if (!length || !revision || !type || *revision != kRevision2 || *type != kPkcsSignedData ||
        *length < kHeaderSize || *length > table.size()) {
        return std::nullopt;
    }
    return WinCertificate{*table.Sub(kHeaderSize, *length - kHeaderSize)};
}

std::vector<FileStretch> SignedStretches(const SignatureLocation& location, std::uint64_t size) {
    std::array<FileStretch, 3> left = {
        FileStretch{location.checkSumField, location.checkSumField + 4},
        FileStretch{location.certificateEntryField, location.certificateEntryField + 8},
        FileStretch{location.tableOffset,
                    std::uint64_t{location.tableOffset} + location.tableSize}};
    std::sort(left.begin(), left.end(),
              [](const FileStretch& a, const FileStretch& b) { return a.begin < b.begin; });
    std::vector<FileStretch> covered;
    std::uint64_t at = 0;
    for (const FileStretch& out : left) {
        const std::uint64_t begin = std::min(out.begin, size);
        if (begin > at) {
            covered.push_back({at, begin});
        }
        at = std::max(at, std::min(out.end, size));
    }
    if (at < size) {
        covered.push_back({at, size});
    }
    return covered;
}

std::optional<DerElement> DerElement::From(ByteView bytes) {
    const auto tag = bytes.Read8(0);
    const auto first = bytes.Read8(1);
    if (!tag || !first || (*tag & 0x1F) == 0x1F) {
        return std::nullopt;  // a tag number past 30 is none of the structures read here
    }
    std::size_t header = 2;
    std::uint64_t length = *first;
    if ((*first & 0x80) != 0) {
        const std::size_t octets = *first & 0x7F;
        if (octets == 0 || octets > 4) {
            return std::nullopt;  // indefinite, or longer than anything a file holds
        }
        length = 0;
        for (std::size_t index = 0; index < octets; ++index) {
            const auto octet = bytes.Read8(2 + index);
            if (!octet) {
                return std::nullopt;
            }
            length = length << 8 | *octet;
        }
        header += octets;
    }
    if (!bytes.Contains(
            header, static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes.size() + 1)))) {
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(length);
    return DerElement{*tag, *bytes.Sub(header, size), *bytes.Sub(0, header + size)};
}

std::optional<std::vector<DerElement>> DerElement::Children(std::size_t most) const {
    std::vector<DerElement> children;
    for (std::size_t at = 0; at < contents.size();) {
        const auto child = From(contents.From(at));
        if (!child || children.size() == most) {
            return std::nullopt;
        }
        children.push_back(*child);
        at += child->whole.size();
    }
    return children;
}

std::optional<std::string> ObjectIdentifierText(ByteView contents) {
    if (contents.size() == 0 || contents.size() > kLongestObjectIdentifier) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> arcs;
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < contents.size(); ++index) {
        const std::uint8_t byte = *contents.Read8(index);
        if (value > (UINT64_MAX >> 7)) {
            return std::nullopt;
        }
        value = value << 7 | (byte & 0x7F);
        if ((byte & 0x80) == 0) {
            arcs.push_back(value);
            value = 0;
        } else if (index + 1 == contents.size()) {
            return std::nullopt;  // the last arc is cut short
        }
    }
    // The first arc holds the first two: 40 times the first, plus the second.
    const std::uint64_t first = std::min<std::uint64_t>(arcs[0] / 40, 2);
    std::string text = std::to_string(first);
    text.append(".").append(std::to_string(arcs[0] - 40 * first));
    for (std::size_t index = 1; index < arcs.size(); ++index) {
        text.append(".").append(std::to_string(arcs[index]));
    }
    return text;
}

std::optional<IndirectData> IndirectData::From(ByteView der) {
    // SEQUENCE { data SpcAttributeTypeAndOptionalValue, messageDigest DigestInfo }, where
    // DigestInfo is SEQUENCE { AlgorithmIdentifier, OCTET STRING }.
    const auto content = DerElement::From(der);
    const auto parts = content && content->tag == kSequence ? content->Children() : std::nullopt;
    if (!parts || parts->size() < 2 || (*parts)[1].tag != kSequence) {
        return std::nullopt;
    }
    const auto digestInfo = (*parts)[1].Children();
    if (!digestInfo || digestInfo->size() != 2 || (*digestInfo)[0].tag != kSequence ||
        (*digestInfo)[1].tag != kOctetString) {
        return std::nullopt;
    }
    const auto algorithm = (*digestInfo)[0].Children();
    if (!algorithm || algorithm->empty() || (*algorithm)[0].tag != kObjectIdentifier) {
        return std::nullopt;
    }
    const auto oid = ObjectIdentifierText((*algorithm)[0].contents);
    if (!oid) {
        return std::nullopt;
    }
    return IndirectData{*oid, (*digestInfo)[1].contents};
}

std::optional<std::string> ProgramNameOf(ByteView der) {
    // SEQUENCE { programName [0] EXPLICIT SpcString OPTIONAL, moreInfo [1] EXPLICIT ... },
    // SpcString being CHOICE { unicode [0] IMPLICIT BMPString, ascii [1] IMPLICIT IA5String }.
    const auto opus = DerElement::From(der);
    const auto parts = opus && opus->tag == kSequence ? opus->Children() : std::nullopt;
    if (!parts || parts->empty() || (*parts)[0].tag != kContextConstructed0) {
        return std::nullopt;
    }
    const auto name = DerElement::From((*parts)[0].contents);
    if (!name) {
        return std::nullopt;
    }
    if (name->tag == kContextPrimitive1) {
        return std::string(name->contents.data(), name->contents.data() + name->contents.size());
    }
    if (name->tag != kContextPrimitive0) {
        return std::nullopt;
    }
    return BigEndianUtf16ToUtf8(name->contents);
}

std::optional<TimestampInfo> TimestampInfo::From(ByteView der) {
    // TSTInfo ::= SEQUENCE { version, policy, messageImprint SEQUENCE { AlgorithmIdentifier,
    // OCTET STRING }, serialNumber, genTime GeneralizedTime, ... }.
    auto info = DerElement::From(der);
    if (info && info->tag == kOctetString) {
        info = DerElement::From(info->contents);
    }
    const auto fields = info && info->tag == kSequence ? info->Children(16) : std::nullopt;
    constexpr std::uint8_t kGeneralizedTime = 0x18;
    if (!fields || fields->size() < 5 || (*fields)[2].tag != kSequence ||
        (*fields)[4].tag != kGeneralizedTime) {
        return std::nullopt;
    }
    const auto imprint = (*fields)[2].Children(2);
    if (!imprint || imprint->size() != 2 || (*imprint)[0].tag != kSequence ||
        (*imprint)[1].tag != kOctetString) {
        return std::nullopt;
    }
    const auto algorithm = (*imprint)[0].Children();
    const auto oid = algorithm && !algorithm->empty() && (*algorithm)[0].tag == kObjectIdentifier
                         ? ObjectIdentifierText((*algorithm)[0].contents)
                         : std::nullopt;
    // YYYYMMDDHHMMSS, then any fraction, then Z.
    const ByteView time = (*fields)[4].contents;
    if (!oid || time.size() < 15 || !std::all_of(time.data(), time.data() + 14, [](std::uint8_t c) {
            return c >= '0' && c <= '9';
        })) {
        return std::nullopt;
    }
    const std::string digits(time.data(), time.data() + 14);
    return TimestampInfo{*oid, (*imprint)[1].contents,
                         digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" +
                             digits.substr(6, 2) + "T" + digits.substr(8, 2) + ":" +
                             digits.substr(10, 2) + ":" + digits.substr(12, 2) + "Z"};
}

}  // namespace platform::formats
