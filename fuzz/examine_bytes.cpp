#include "examine_bytes.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <rapidjson/document.h>

#include "inventory/digests.h"
#include "inventory/record.h"
#include "inventory/signature_check.h"
#include "inventory/writers.h"
#include "listing/listing.h"
#include "platform/platform.h"
#include "support/version_block.h"
#include "version/version_info.h"

namespace {

// One in-memory file for the whole process, rewritten for each input.
const std::string& ScratchPath() {
    static const std::string path = [] {
        const int descriptor = memfd_create("quillet-fuzz", MFD_CLOEXEC);
        if (descriptor < 0) {
            std::abort();
        }
        return "/proc/self/fd/" + std::to_string(descriptor);
    }();
    return path;
}

void Rewrite(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
    const int descriptor = std::atoi(path.c_str() + std::strlen("/proc/self/fd/"));
    if (ftruncate(descriptor, 0) != 0 ||
        (size > 0 && pwrite(descriptor, bytes, size, 0) != static_cast<ssize_t>(size))) {
        std::abort();
    }
}

// Queries beyond the readers' own, so that every path through the query is exercised.
void QueryFreely(const unsigned char* block) {
    for (const char* path :
         {"\\", "", "\\VarFileInfo", "\\VarFileInfo\\Translation", "\\StringFileInfo",
          "\\StringFileInfo\\040904B0", "\\StringFileInfo\\040904b0\\CompanyName",
          "\\\\StringFileInfo\\\\040904E4\\FileVersion\\"}) {
        void* value = nullptr;
        UINT length = 0;
        if (VerQueryValueA(block, path, &value, &length) && length > 0) {
            // Touch every byte the query claims, so that the sanitizer sees any lie.
            volatile unsigned char sink = 0;
            for (UINT index = 0; index < length; ++index) {
                sink = sink ^ static_cast<const unsigned char*>(value)[index];
            }
        }
    }
}

// The inventory's record of the same file: its facts and build facts, every string of its table,
// its digest and its signature's verdict, and its JSON line and CSV row, each of which must stay
// one well-formed record.
void RecordBytes(const std::string& path) {
    static const bool extrasSet = [] {
        std::string problem;
        PrepareSignatureChecks("", problem);
        platform::SetLookExtras({.headers = true,
                                 .digest = Sha256OfContent,
                                 .check = CheckSignature,
                                 .unversionedToo = true});
        return true;
    }();
    static_cast<void>(extrasSet);
    InventoryRecord record;
    DWORD error = 0;
    WIN32_FIND_DATAA found{};
    ReadRecord(path, found, /*unversionedWanted=*/true, record, error);
    const ScanInfo scan{.host = "fuzz", .started = "2024-01-01T00:00:00.000Z", .sha256 = true};
    const std::string line = JsonRecordLine(scan, record);
    rapidjson::Document parsed;
    if (line.find('\n') != line.size() - 1 || parsed.Parse(line.c_str()).HasParseError() ||
        !parsed.IsObject()) {
        std::abort();  // a record must stay one line of one JSON object
    }
    const std::string row = CsvRecordRow(scan, record);
    if (row.size() < 2 || row.compare(row.size() - 2, 2, "\r\n") != 0) {
        std::abort();
    }
}

}  // namespace

void ExamineBytes(const std::uint8_t* bytes, std::size_t size) {
    const std::string& path = ScratchPath();
    Rewrite(path, bytes, size);
    RecordBytes(path);
    const test_support::Block block = test_support::LoadBlock(path);
    if (!block) {
        return;
    }
    QueryFreely(block.get());
    VersionValues values;
    ReadVersionValues(block.get(), values);
    // A reader must leave each text terminated inside its own buffer.
    const auto terminated = [](const char* text, std::size_t size) {
        return strnlen(text, size) < size;
    };
    if (!terminated(values.version, sizeof values.version) ||
        !terminated(values.company, sizeof values.company) ||
        !terminated(values.product, sizeof values.product)) {
        std::abort();
    }
    for (char* value : {values.version, values.company, values.product}) {
        CleanValue(value);
    }
    if (std::strlen(values.product) > 50 || std::strlen(values.company) > 255 ||
        std::strlen(values.version) > 23) {
        std::abort();  // longer than the listing's limits
    }
    SYSTEMTIME time{};
    const std::string line =
        FormatListingLine(values.product, values.company, values.version, &time, "fuzz.exe");
    if (line.find_first_of("\r\n") != line.size() - 1) {
        std::abort();  // a listed file must stay one line
    }
}
