#include "version/version_info.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/platform.h"

const char NoInfoText[] = "!!! No Info !!!";

namespace {

constexpr std::size_t kTranslationEntrySize = 4;  // language, code page
// The fixed record is copied out of the block as the file holds it.
static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "VS_FIXEDFILEINFO is 13 32-bit fields");
constexpr int kCompanyLimit = 255;
constexpr int kProductLimit = 50;

void CopyPlaceholder(std::span<char> out) {
    if (out.empty()) {
        return;
    }
    const std::size_t length = std::min(std::strlen(NoInfoText), out.size() - 1);
    std::memcpy(out.data(), NoInfoText, length);
    out[length] = '\0';
}

bool IsContinuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// Copies the text at value (it ends at its first NUL or after available bytes) into out, cut to
// limit bytes and padded with NULs up to and including out[limit].
void CopyCut(std::span<char> out, const char* value, std::size_t available, std::size_t limit) {
    std::size_t length = strnlen(value, available);
    if (length > limit) {
        length = limit;
        if (platform::TextIsUtf8()) {
            while (length > 0 && IsContinuationByte(value[length])) {
                --length;
            }
        }
    }
    std::memcpy(out.data(), value, length);
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(length),
              out.begin() + static_cast<std::ptrdiff_t>(limit) + 1, '\0');
}

void ReadStringValue(const unsigned char* block, const char* name, std::span<char> out, int limit) {
    CopyPlaceholder(out);
    if (out.empty() || limit < 0) {
        return;
    }
    WORD language = 0;
    WORD codePage = 0;
    if (!ReadFirstTranslation(block, language, codePage)) {
        return;
    }
    char path[256];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%04hX%04hX\\%s", language, codePage, name);
    void* value = nullptr;
    UINT valueLength = 0;
    if (!VerQueryValueA(block, path, &value, &valueLength)) {
        return;
    }
    const std::size_t cut = std::min(static_cast<std::size_t>(limit), out.size() - 1);
    CopyCut(out, static_cast<const char*>(value), valueLength, cut);
}

// The queries walk the block by the lengths it holds: its root's must not claim more than was
// loaded, or a damaged file would lead the platform's query past the block.
void BoundRootLength(unsigned char* block, DWORD size) {
    WORD rootLength = 0;
    std::memcpy(&rootLength, block, sizeof rootLength);
    rootLength = static_cast<WORD>(std::min<DWORD>(rootLength, size));
    std::memcpy(block, &rootLength, sizeof rootLength);
}

}  // namespace

bool ReadFirstTranslation(const unsigned char* block, WORD& language, WORD& codePage) {
    void* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block, "\\VarFileInfo\\Translation", &translation, &length) ||
        length < kTranslationEntrySize) {
        return false;
    }
    WORD entry[2];
    std::memcpy(entry, translation, sizeof entry);
    language = entry[0];
    codePage = entry[1];
    return true;
}

bool ReadFixedRecord(const unsigned char* block, VS_FIXEDFILEINFO& fixed) {
    void* value = nullptr;
    UINT length = 0;
    // A root value shorter than the record would be read past its end.
    if (!VerQueryValueA(block, "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        return false;
    }
    std::memcpy(&fixed, value, sizeof fixed);
    return true;
}

std::string DottedVersion(DWORD mostSignificant, DWORD leastSignificant) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{HIWORD(mostSignificant)},
                  unsigned{LOWORD(mostSignificant)}, unsigned{HIWORD(leastSignificant)},
                  unsigned{LOWORD(leastSignificant)});
    return text;
}

unsigned char* LoadVersionBlock(const char* path) {
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &unused);
    if (size == 0) {
        return nullptr;
    }
    // One byte more than asked for: a block of a single byte still holds the root's 16-bit length.
    auto* block = new (std::nothrow) unsigned char[std::size_t{size} + 1];
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!GetFileVersionInfoA(path, 0, size, block)) {
        delete[] block;
        return nullptr;
    }
    BoundRootLength(block, size);
    return block;
}

void ReleaseVersionBlock(unsigned char* block) {
    delete[] block;
}

void ReadFileVersion(const unsigned char* block, std::span<char> out) {
    if (out.empty()) {
        return;
    }
    out[0] = '\0';
    VS_FIXEDFILEINFO fixed;
    if (ReadFixedRecord(block, fixed)) {
        std::snprintf(out.data(), out.size(), "%s",
                      DottedVersion(fixed.dwFileVersionMS, fixed.dwFileVersionLS).c_str());
        return;
    }
    CopyPlaceholder(out);
}

void ReadCompanyName(const unsigned char* block, std::span<char> out, int limit) {
    ReadStringValue(block, "CompanyName", out, limit);
}

void ReadProductName(const unsigned char* block, std::span<char> out, int limit) {
    ReadStringValue(block, "ProductName", out, limit);
}

void ReadVersionValues(const unsigned char* block, VersionValues& values) {
    ReadFileVersion(block, values.version);
    ReadCompanyName(block, values.company, kCompanyLimit);
    ReadProductName(block, values.product, kProductLimit);
}
