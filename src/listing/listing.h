// Deciding whether a file is listed, and writing its line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

// The number of files listed so far in this run.
extern std::int32_t ListedCount;

// Shortens the whitespace runs of a value read from a version block, and puts the placeholder in
// place of a value left blank.
void CleanValue(char* value);

// The listing line of one file: product, company and version padded to 60, 40 and 15 columns,
// date, time and path, separated by tabs and ended by a line feed. Tabs and line breaks inside the
// fields are written as blanks, so that every listed file stays one line of six fields.
std::string FormatListingLine(std::string_view product, std::string_view company,
                              std::string_view version, const SYSTEMTIME* modified,
                              std::string_view path);

// The progress marker printed after the line of the given file (counted from 0), or empty.
std::string ProgressMarker(std::int32_t listedBefore);
