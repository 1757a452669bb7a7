#include "platform/formats/text_encoding.h"

#include <array>
#include <vector>

namespace platform::formats {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Windows-1252 bytes 0x80 to 0x9F; the five it leaves undefined map to the C1 controls, as the
// platform's own conversion does.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::size_t EncodedLength(char32_t codePoint) {
    return codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
}

// Appends codePoint at out[written]; false when it and a terminator would not fit.
bool Append(char32_t codePoint, std::span<char> out, std::size_t& written) {
    const std::size_t length = EncodedLength(codePoint);
    if (out.size() - written < length + 1) {
        return false;
    }
    char* at = out.data() + written;
    if (length == 1) {
        at[0] = static_cast<char>(codePoint);
    } else {
        constexpr unsigned char kLeadMarks[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (std::size_t index = length - 1; index > 0; --index) {
            at[index] = static_cast<char>(0x80 | (codePoint & 0x3F));
            codePoint >>= 6;
        }
        at[0] = static_cast<char>(kLeadMarks[length] | codePoint);
    }
    written += length;
    return true;
}

std::size_t Terminate(std::span<char> out, std::size_t written) {
    if (!out.empty()) {
        out[written] = '\0';
    }
    return written;
}

bool IsHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

std::optional<Utf16Character> DecodeUtf16(ByteView units, std::size_t at) {
    const auto unit = units.Read16(at);
    if (!unit) {
        return std::nullopt;
    }
    if (IsHighSurrogate(*unit)) {
        const auto next = units.Read16(at + sizeof(char16_t));  // the unit after it
        if (next && IsLowSurrogate(*next)) {
            return Utf16Character{0x10000 + ((char32_t{*unit} - 0xD800) << 10) + (*next - 0xDC00),
                                  4};
        }
        return Utf16Character{kReplacementCharacter, 2};
    }
    return Utf16Character{IsLowSurrogate(*unit) ? kReplacementCharacter : char32_t{*unit}, 2};
}

std::size_t Utf16ToUtf8(ByteView units, std::span<char> out) {
    std::size_t written = 0;
    for (std::size_t at = 0;;) {
        const auto character = DecodeUtf16(units, at);
        if (!character || character->codePoint == 0 ||
            !Append(character->codePoint, out, written)) {
            break;
        }
        at += character->bytes;
    }
    return Terminate(out, written);
}

std::size_t Windows1252ToUtf8(ByteView bytes, std::span<char> out) {
    std::size_t written = 0;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        const std::uint8_t byte = *bytes.Read8(at);
        if (byte == 0) {
            break;
        }
        if (!Append(Windows1252CodePoint(byte), out, written)) {
            break;
        }
    }
    return Terminate(out, written);
}

char32_t Windows1252CodePoint(std::uint8_t byte) {
    return byte >= 0x80 && byte <= 0x9F ? kWindows1252High[byte - 0x80] : byte;
}

DecodedCharacter DecodeUtf8(const char* text, std::size_t available) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        return {lead, 1};
    }
    const std::size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4
                               : lead >= 0xE0               ? 3
                               : lead >= 0xC2               ? 2
                                                            : 0;
    if (length == 0 || length > available) {
        return {kReplacementCharacter, 1};
    }
    char32_t codePoint = lead & (0x7F >> length);
    for (std::size_t index = 1; index < length; ++index) {
        const auto next = static_cast<unsigned char>(text[index]);
        if ((next & 0xC0) != 0x80) {
            return {kReplacementCharacter, 1};
        }
        codePoint = codePoint << 6 | (next & 0x3F);
    }
    if (EncodedLength(codePoint) != length || codePoint > 0x10FFFF || IsHighSurrogate(codePoint) ||
        IsLowSurrogate(codePoint)) {
        return {kReplacementCharacter, 1};
    }
    return {codePoint, length};
}

void AppendUtf8(char32_t codePoint, std::string& out) {
    char encoded[5];
    std::size_t written = 0;
    Append(codePoint <= 0x10FFFF ? codePoint : kReplacementCharacter, encoded, written);
    out.append(encoded, written);
}

std::string BigEndianUtf16ToUtf8(ByteView units) {
    std::vector<std::uint8_t> swapped(units.size() & ~std::size_t{1});
    for (std::size_t at = 0; at < swapped.size(); at += 2) {
        swapped[at] = units.data()[at + 1];
        swapped[at + 1] = units.data()[at];
    }
    std::string text;
    const ByteView littleEndian(swapped.data(), swapped.size());
    std::size_t at = 0;
    while (const auto character = DecodeUtf16(littleEndian, at)) {
        AppendUtf8(character->codePoint, text);
        at += character->bytes;
    }
    return text;
}

std::string UpperHex(ByteView bytes) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * bytes.size());
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        text.push_back(kDigits[bytes.data()[index] >> 4]);
        text.push_back(kDigits[bytes.data()[index] & 0x0F]);
    }
    return text;
}

}  // namespace platform::formats
