#include "listing/listing.h"

#include <algorithm>
#include <cstdio>

#include "output/output_file.h"
#include "platform/ascii.h"
#include "platform/candidates.h"
#include "version/text_cleanup.h"
#include "version/version_info.h"
#include "walk/read_failures.h"
#include "walk/walk.h"

std::int32_t ListedCount = 0;

namespace {

constexpr std::size_t kProductWidth = 60;
constexpr std::size_t kCompanyWidth = 40;
constexpr std::size_t kVersionWidth = 15;
constexpr std::int32_t kMarkerInterval = 50;
constexpr std::int32_t kMarkerLineInterval = 500;

void AppendField(std::string& line, std::string_view value, std::size_t width) {
    const std::size_t start = line.size();
    line.append(value);
    std::replace_if(
        line.begin() + static_cast<std::ptrdiff_t>(start), line.end(),
        [](char character) { return character != ' ' && IsWhitespace(character); }, ' ');
    if (value.size() < width) {
        line.append(width - value.size(), ' ');
    }
}

SYSTEMTIME LastWriteTime(const std::string& path, const WIN32_FIND_DATAA& record, bool& known) {
    SYSTEMTIME calendar{};
    FILETIME written{};
    known = platform::GetLastWriteTime(path.c_str(), record, written) &&
            FileTimeToSystemTime(&written, &calendar) != 0;
    return calendar;
}

}  // namespace

void CleanValue(char* value) {
    CollapseWhitespace(value);
    if (IsBlank(value)) {
        std::snprintf(value, std::char_traits<char>::length(NoInfoText) + 1, "%s", NoInfoText);
    }
}

std::string FormatListingLine(std::string_view product, std::string_view company,
                              std::string_view version, const SYSTEMTIME* modified,
                              std::string_view path) {
    std::string line;
    line.reserve(kProductWidth + kCompanyWidth + kVersionWidth + 32 + path.size());
    AppendField(line, product, kProductWidth);
    line.push_back('\t');
    AppendField(line, company, kCompanyWidth);
    line.push_back('\t');
    AppendField(line, version, kVersionWidth);
    char stamp[64];
    if (modified != nullptr) {
        std::snprintf(stamp, sizeof stamp, "\t%02i.%02i.%04i\t%02i:%02i:%02i\t",
                      int{modified->wDay}, int{modified->wMonth}, int{modified->wYear},
                      int{modified->wHour}, int{modified->wMinute}, int{modified->wSecond});
    } else {
        std::snprintf(stamp, sizeof stamp, "\t00.00.0000\t00:00:00\t");
    }
    line.append(stamp);
    AppendField(line, path, 0);
    line.push_back('\n');
    return line;
}

std::string ProgressMarker(std::int32_t listedBefore) {
    if (listedBefore % kMarkerInterval != 0) {
        return {};
    }
    char marker[32];
    std::snprintf(marker, sizeof marker, "%4li.. ", static_cast<long>(listedBefore));
    std::string text(marker);
    if (listedBefore % kMarkerLineInterval == 0 && listedBefore != 0) {
        text.push_back('\n');
    }
    return text;
}

void ExamineFile(std::string& path, const WIN32_FIND_DATAA& record) {
    if (ActiveOutput == nullptr || !platform::IsCandidate(path)) {
        return;
    }
    // The file is read under the name the walk found; only the comparison and the listed path are
    // in lower case, which names the same file only where letter case does not count.
    std::string listedPath(path);
    platform::LowerCaseAscii(listedPath);
    unsigned char* block = LoadVersionBlock(path.c_str());
    if (block == nullptr) {
        // No version information, or a file that could not be read: the listing says which.
        if (const DWORD error = GetLastError(); FileFailureCounts(error)) {
            FailedReads.Note(path, error);
        }
        return;
    }
    VersionValues values;
    ReadVersionValues(block, values);
    ReleaseVersionBlock(block);
    for (char* value : {values.version, values.company, values.product}) {
        CleanValue(value);
    }
    bool timeKnown = false;
    const SYSTEMTIME modified = LastWriteTime(path, record, timeKnown);
    ActiveOutput->Write(FormatListingLine(values.product, values.company, values.version,
                                          timeKnown ? &modified : nullptr, listedPath));

    const std::string marker = ProgressMarker(ListedCount);
    if (!marker.empty()) {
        std::fputs(marker.c_str(), stdout);
        if (platform::StandardOutputIsConsole()) {
            std::fflush(stdout);
        }
    }
    ++ListedCount;
}
