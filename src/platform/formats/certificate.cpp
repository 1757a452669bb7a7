#include "platform/formats/certificate.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/formats/authenticode.h"
#include "platform/formats/text_encoding.h"

namespace platform::formats {

namespace {

constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kSet = 0x31;
constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kVersionTag = 0xA0;  // [0] EXPLICIT, before the serial number
constexpr std::size_t kMostNameParts = 64;

// Attribute types by the short names RFC 4514 gives them, and the few more that code-signing
// certificates carry, as OpenSSL names them.
struct ShortName {
    const char* oid;
    const char* name;
};
constexpr ShortName kShortNames[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.4", "SN"},
    {"2.5.4.5", "serialNumber"},
    {"2.5.4.6", "C"},
    {"2.5.4.7", "L"},
    {"2.5.4.8", "ST"},
    {"2.5.4.9", "street"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"2.5.4.12", "title"},
    {"2.5.4.15", "businessCategory"},
    {"2.5.4.17", "postalCode"},
    {"2.5.4.42", "GN"},
    {"2.5.4.97", "organizationIdentifier"},
    {"0.9.2342.19200300.100.1.1", "UID"},
    {"0.9.2342.19200300.100.1.25", "DC"},
    {"1.2.840.113549.1.9.1", "emailAddress"},
    {"1.3.6.1.4.1.311.60.2.1.1", "jurisdictionL"},
    {"1.3.6.1.4.1.311.60.2.1.2", "jurisdictionST"},
    {"1.3.6.1.4.1.311.60.2.1.3", "jurisdictionC"},
};

// A directory string as UTF-8; none for a type that is no text.
std::optional<std::string> TextOf(const DerElement& value) {
    const ByteView bytes = value.contents;
    std::string text;
    switch (value.tag) {
        case 0x0C:  // UTF8String
        case 0x13:  // PrintableString
        case 0x16:  // IA5String
        case 0x1A:  // VisibleString
            return std::string(bytes.data(), bytes.data() + bytes.size());
        case 0x14:  // TeletexString, taken as Latin-1 as the libraries do
            for (std::size_t index = 0; index < bytes.size(); ++index) {
                AppendUtf8(bytes.data()[index], text);
            }
            return text;
        case 0x1E:  // BMPString
            return BigEndianUtf16ToUtf8(bytes);
        case 0x1C:  // UniversalString: UTF-32, big-endian
            for (std::size_t index = 0; index + 3 < bytes.size(); index += 4) {
                AppendUtf8(static_cast<char32_t>(
                               bytes.data()[index] << 24 | bytes.data()[index + 1] << 16 |
                               bytes.data()[index + 2] << 8 | bytes.data()[index + 3]),
                           text);
            }
            return text;
        default:
            return std::nullopt;
    }
}

// A value as RFC 4514 writes it: the characters that would be read as syntax escaped, and
// control characters as their hex.
std::string Escaped(const std::string& value) {
    std::string text;
    for (std::size_t index = 0; index < value.size(); ++index) {
        const auto letter = static_cast<unsigned char>(value[index]);
        const bool edgeSpace = letter == ' ' && (index == 0 || index + 1 == value.size());
        if (letter < 0x20 || letter == 0x7F) {
            char escape[4];
            std::snprintf(escape, sizeof escape, "\\%02X", unsigned{letter});
            text += escape;
            continue;
        }
        if (edgeSpace || (letter == '#' && index == 0) ||
            std::string_view(",+\"\\<>;").find(static_cast<char>(letter)) != std::string::npos) {
            text += '\\';
        }
        text += static_cast<char>(letter);
    }
    return text;
}

struct NameParts {
    std::string text;
    std::optional<std::string> commonName;
    std::optional<std::string> organization;
};

// Name ::= SEQUENCE OF RelativeDistinguishedName (a SET OF AttributeTypeAndValue), written
// last first, the values of one RDN joined by "+".
std::optional<NameParts> ReadName(const DerElement& name) {
    const auto rdns = name.tag == kSequence ? name.Children(kMostNameParts) : std::nullopt;
    if (!rdns) {
        return std::nullopt;
    }
    NameParts parts;
    for (auto rdn = rdns->rbegin(); rdn != rdns->rend(); ++rdn) {
        const auto pairs = rdn->tag == kSet ? rdn->Children(kMostNameParts) : std::nullopt;
        if (!pairs) {
            return std::nullopt;
        }
        std::string written;
        for (const DerElement& pair : *pairs) {
            const auto typeAndValue = pair.tag == kSequence ? pair.Children(2) : std::nullopt;
            if (!typeAndValue || typeAndValue->size() != 2) {
                return std::nullopt;
            }
            const auto oid = ObjectIdentifierText((*typeAndValue)[0].contents);
            if (!oid) {
                return std::nullopt;
            }
            std::string type = *oid;
            for (const ShortName& known : kShortNames) {
                type = *oid == known.oid ? known.name : type;
            }
            const auto value = TextOf((*typeAndValue)[1]);
            written.append(written.empty() ? "" : "+").append(type).append("=");
            if (value) {
                written.append(Escaped(*value));
            } else {
                written.append("#").append(UpperHex((*typeAndValue)[1].whole));
            }
            // Met last first: the one kept is the first in the certificate's order.
            if (value && *oid == "2.5.4.3") {
                parts.commonName = value;
            }
            if (value && *oid == "2.5.4.10") {
                parts.organization = value;
            }
        }
        parts.text.append(parts.text.empty() ? "" : ",").append(written);
    }
    return parts;
}

std::string SerialText(ByteView integer) {
    std::size_t first = 0;
    while (first + 1 < integer.size() && integer.data()[first] == 0) {
        ++first;
    }
    const std::string text = UpperHex(integer.From(first));
    return text == "00" ? "0" : text;
}

}  // namespace

std::optional<CertificateNames> ReadCertificateNames(ByteView der) {
    // Certificate ::= SEQUENCE { TBSCertificate, ... }; TBSCertificate ::= SEQUENCE { [0] version
    // OPTIONAL, serialNumber, signature, issuer, validity, subject, ... }.
    const auto certificate = DerElement::From(der);
    const auto outer =
        certificate && certificate->tag == kSequence ? certificate->Children(4) : std::nullopt;
    if (!outer || outer->empty() || (*outer)[0].tag != kSequence) {
        return std::nullopt;
    }
    const auto fields = (*outer)[0].Children(16);
    if (!fields || fields->empty()) {
        return std::nullopt;
    }
    const std::size_t serial = (*fields)[0].tag == kVersionTag ? 1 : 0;
    if (fields->size() < serial + 5 || (*fields)[serial].tag != kInteger) {
        return std::nullopt;
    }
    const auto issuer = ReadName((*fields)[serial + 2]);
    const auto subject = ReadName((*fields)[serial + 4]);
    if (!issuer || !subject) {
        return std::nullopt;
    }
    return CertificateNames{.serial = SerialText((*fields)[serial].contents),
                            .subject = subject->text,
                            .issuer = issuer->text,
                            .commonName = subject->commonName,
                            .organization = subject->organization};
}

}  // namespace platform::formats
