// Reading a file's version information through the platform's version library.
#pragma once

#include <span>
#include <string>

#include "platform/platform.h"

// Stands in the listing for any value that is absent or blank.
extern const char NoInfoText[];

// The file's version-information block, or null when it has none or it cannot be read. Release it
// with ReleaseVersionBlock.
unsigned char* LoadVersionBlock(const char* path);
void ReleaseVersionBlock(unsigned char* block);

// The block's first translation (the language and code page of the string table the readers
// take); false when it has none.
bool ReadFirstTranslation(const unsigned char* block, WORD& language, WORD& codePage);

// The block's fixed record (VS_FIXEDFILEINFO); false when it has none, or a root value shorter
// than the record.
bool ReadFixedRecord(const unsigned char* block, VS_FIXEDFILEINFO& fixed);

// A version's four 16-bit numbers, the two halves of its fixed-record fields, joined by dots.
std::string DottedVersion(DWORD mostSignificant, DWORD leastSignificant);

// The file version from the block's fixed record, as four decimal numbers joined by dots, or the
// placeholder.
void ReadFileVersion(const unsigned char* block, std::span<char> out);

// The company or product name of the block's first translation, cut to limit bytes (never inside
// a multi-byte character) with the rest of out up to limit filled with NULs, or the placeholder.
// out must hold limit + 1 bytes; a smaller out lowers the limit.
void ReadCompanyName(const unsigned char* block, std::span<char> out, int limit);
void ReadProductName(const unsigned char* block, std::span<char> out, int limit);

// The three values the listing shows, read in its order with its limits (company 255, product 50).
struct VersionValues {
    char version[256];
    char company[256];
    char product[52];
};
void ReadVersionValues(const unsigned char* block, VersionValues& values);
