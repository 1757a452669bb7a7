// Conversion of the texts files hold (version blocks, signatures' names) to UTF-8, the 8-bit
// encoding of the POSIX build, and of bytes to hex digits.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "platform/formats/byte_view.h"

namespace platform::formats {

// The UTF-16 text at the start of units, up to its first 0 unit or the end of the view, as
// NUL-terminated UTF-8; a unit that is not valid UTF-16 (a lone surrogate) becomes U+FFFD. Writes
// no more than out holds and always terminates (given room for one byte); returns the bytes
// written before the terminator. Room for three bytes per unit and the terminator is always enough.
std::size_t Utf16ToUtf8(ByteView units, std::span<char> out);

// The character whose UTF-16 units start at offset at of units: a pair of surrogates combined,
// a lone surrogate as U+FFFD, and how many bytes it took (2 or 4); none at the view's end.
struct Utf16Character {
    char32_t codePoint;
    std::size_t bytes;
};
std::optional<Utf16Character> DecodeUtf16(ByteView units, std::size_t at);

// The same for Windows-1252 text, up to its first 0 byte; three bytes per input byte suffice.
std::size_t Windows1252ToUtf8(ByteView bytes, std::span<char> out);
// The character a byte of Windows-1252 stands for (the five bytes it leaves undefined for the
// C1 controls of the same numbers, so that every byte stands for a character of its own).
char32_t Windows1252CodePoint(std::uint8_t byte);

// The first code point of UTF-8 text, and how many bytes it took (at least 1); a malformed
// sequence gives U+FFFD for one byte.
struct DecodedCharacter {
    char32_t codePoint;
    std::size_t length;
};
DecodedCharacter DecodeUtf8(const char* text, std::size_t available);

// Appends a code point to out as UTF-8; one past U+10FFFF as U+FFFD.
void AppendUtf8(char32_t codePoint, std::string& out);
// Big-endian UTF-16 (as ASN.1's BMPString holds it) as UTF-8, a lone surrogate as U+FFFD.
std::string BigEndianUtf16ToUtf8(ByteView units);

// Bytes as upper-case hex digits, two to a byte.
std::string UpperHex(ByteView bytes);

}  // namespace platform::formats
