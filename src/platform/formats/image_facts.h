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

// What a PE image's headers tell of how it was built; a fact the file does not tell is none.
struct BuildFacts {
    std::uint32_t timeDateStamp = 0;  // IMAGE_FILE_HEADER's
    std::optional<std::uint16_t> subsystem;
    // The first CodeView record's program database: its path and its identity as a symbol server
    // keys it (RSDS: the GUID as 32 hex digits, then the age in hex; NB10: signature and age).
    std::optional<std::string> pdbPath;
    std::optional<std::string> pdbId;
    // The imports as the import hash is made from them: "library.function" for each, lower case,
    // the library's extension (dll, ocx, sys) left out, an ordinal as "ord" and its number,
    // joined by commas; none without imports.
    std::optional<std::string> importHashText;
    // A .NET assembly's name and version (a.b.c.d), from its metadata's Assembly table.
    std::optional<std::string> assemblyName;
    std::optional<std::string> assemblyVersion;
};

// Where a PE image's Authenticode signature lies, and the fields its digest leaves out.
struct SignatureLocation {
    std::uint64_t checkSumField = 0;          // the optional header's CheckSum (4 bytes)
    std::uint64_t certificateEntryField = 0;  // the certificate table's directory entry (8 bytes)
    std::uint32_t tableOffset = 0;            // the table, by file offset; size 0 for none
    std::uint32_t tableSize = 0;
};

struct ImageFacts {
    ImageFormat format = ImageFormat::None;
    std::optional<std::uint16_t> machine;  // IMAGE_FILE_HEADER's Machine; an NE header has none
    bool managed = false;                  // a CLR runtime header is named
    std::optional<BuildFacts> build;       // PE only
    std::optional<SignatureLocation> signature;  // PE only, where its directory entry is read
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
