// What a program file's headers say of it beyond its resources: its format, the machine it was
// made for, and whether it is a .NET assembly.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/formats/byte_view.h"

namespace platform::formats {

enum class ImageFormat { None, Pe32, Pe32Plus, Ne };

struct ImageFacts {
    ImageFormat format = ImageFormat::None;
    std::optional<std::uint16_t> machine;  // IMAGE_FILE_HEADER's Machine; an NE header has none
    bool managed = false;                  // a CLR runtime header is named
};

// count bytes of the file at offset, valid until the next call; none where the file holds fewer.
using ViewOfFile = std::function<std::optional<ByteView>(std::uint64_t offset, std::size_t count)>;

// The facts, read through view; None for a file that is no PE or NE image.
ImageFacts ReadImageFacts(const ViewOfFile& view);

// "PE32", "PE32+" or "NE"; null for None.
const char* FormatName(ImageFormat format);
// The common name of a machine ("x86", "x64", "ARM64", ...), else its number as 0x and four hex
// digits.
std::string MachineName(std::uint16_t machine);

}  // namespace platform::formats
