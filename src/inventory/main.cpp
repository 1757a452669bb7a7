// quillet-inventory: every version value of every program file in directory trees and disk
// images, as records for scripts and fleets (JSON Lines, CSV, SQLite).

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/digests.h"
#include "inventory/image_walk.h"
#include "inventory/inventory_run.h"
#include "inventory/signature_check.h"
#include "output/output_file.h"
#include "walk/read_failures.h"
#include "walk/walk.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitUsage = 1;
constexpr int kExitWriteFailed = 3;
constexpr int kExitIncomplete = 4;

constexpr const char* kProgram = "quillet-inventory";

void PrintUsage(std::FILE* stream) {
    std::fputs(
        "Usage: quillet-inventory [options] DIRECTORY|IMAGE...\n"
        "Writes one record for each .exe, .dll and .ocx file under the directories, and in the\n"
        "file systems of the disk images, that carries version information.\n"
        "\n"
        "  --format FORMAT  jsonl (the default), csv or sqlite\n"
        "  --output FILE    write to FILE (standard output when absent; sqlite needs it)\n"
        "  --append         add to FILE instead of replacing it\n"
        "  --all            a record for each candidate without version information too\n"
        "  --sha256         the SHA-256 of each recorded file's content\n"
        "  --signatures     verify each recorded file's Authenticode signature\n"
        "  --trust FILE     the trusted roots for --signatures, as PEM certificates\n"
        "                   (default: the system's)\n"
        "  --deleted        in disk images, deleted program files whose entries remain too\n"
        "  --host NAME      the host name the records carry (default: this machine's)\n"
        "  --help           show this help\n"
        "  --version        show the version\n",
        stream);
}

enum class Format { JsonLines, Csv, Sqlite };

struct Options {
    Format format = Format::JsonLines;
    std::string output;
    bool append = false;
    bool all = false;
    bool sha256 = false;
    bool deleted = false;
    bool signatures = false;
    std::string trust;  // empty: the system's
    std::string host;
    std::vector<std::string> directories;
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    std::fprintf(stderr, "Try '%s --help'.\n", kProgram);
    return kExitUsage;
}

// Help and the version are output too: one that could not be written is no success.
int PrintedOut(int exitCode) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "%s: cannot write the output: %s\n", kProgram, std::strerror(errno));
        return kExitWriteFailed;
    }
    return exitCode;
}

// The options, or the exit code when the run ends here (help, version, a usage error).
std::optional<int> ParseOptions(int argc, char* argv[], Options& options) {
    options.host = platform::HostName();
    bool optionsEnded = false;
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument = argv[index];
        const bool takesValue = argument == "--format" || argument == "--output" ||
                                argument == "-o" || argument == "--host" || argument == "--trust";
        if (argument.empty()) {
            // Never the current drive's root or the file system's, as the walk would take it.
            return UsageError("an empty directory name");
        }
        if (optionsEnded || argument[0] != '-' || argument == "-") {
            options.directories.emplace_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help") {
            PrintUsage(stdout);
            return PrintedOut(kExitDone);
        } else if (argument == "--version") {
            std::printf("%s %s\n", kProgram, QUILLET_VERSION);
            return PrintedOut(kExitDone);
        } else if (argument == "--append") {
            options.append = true;
        } else if (argument == "--all") {
            options.all = true;
        } else if (argument == "--sha256") {
            options.sha256 = true;
        } else if (argument == "--deleted") {
            options.deleted = true;
        } else if (argument == "--signatures") {
            options.signatures = true;
        } else if (takesValue && index + 1 >= argc) {
            return UsageError(std::string(argument) + " needs a value");
        } else if (argument == "--format") {
            const std::string_view format = argv[++index];
            if (format == "jsonl") {
                options.format = Format::JsonLines;
            } else if (format == "csv") {
                options.format = Format::Csv;
            } else if (format == "sqlite") {
                options.format = Format::Sqlite;
            } else {
                return UsageError("unknown format '" + std::string(format) +
                                  "' (jsonl, csv or sqlite)");
            }
        } else if (argument == "--output" || argument == "-o") {
            options.output = argv[++index];
        } else if (argument == "--host") {
            options.host = argv[++index];
        } else if (argument == "--trust") {
            options.trust = argv[++index];
        } else {
            return UsageError("unknown option '" + std::string(argument) + "'");
        }
    }
    if (options.directories.empty()) {
        return UsageError("no directory given");
    }
    if (!options.trust.empty() && !options.signatures) {
        return UsageError("--trust is for --signatures");
    }
    if (options.format == Format::Sqlite && options.output.empty()) {
        return UsageError("--format sqlite needs --output FILE");
    }
    return std::nullopt;
}

int WriteFailed(const RecordWriter& writer) {
    std::fprintf(stderr, "%s: %s\n", kProgram, writer.Problem().c_str());
    return kExitWriteFailed;
}

OutputFile::LineEnds LineEndsOf(Format format) {
    return format == Format::Csv ? OutputFile::LineEnds::CsvRecords
                                 : OutputFile::LineEnds::AsWritten;
}

// A regular file given is a disk image (the first segment of a split or E01 set).
bool IsDiskImage(const std::string& argument) {
    std::error_code unknown;
    return std::filesystem::is_regular_file(argument, unknown);
}

// Walks every directory and disk image given, each directory once however often the trees name
// or hold it.
void WalkArguments(const Options& options, InventoryRun& run) {
    VisitedDirectories entered;
    for (const std::string& directory : options.directories) {
        if (IsDiskImage(directory)) {
            WalkDiskImage(directory, options.deleted, run);
            if (run.writeFailed) {
                break;
            }
            continue;
        }
        platform::DirectoryIdentity identity;
        if (!platform::GetDirectoryIdentity(directory.c_str(), identity)) {
            // A directory given that is not there is never an empty inventory.
            FailedReads.Note(directory, GetLastError());
            continue;
        }
        std::string pattern = SearchPatternOf(directory);
        ScanDirectory(pattern, entered);
        if (run.writeFailed) {
            break;
        }
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    Options options;
    if (const auto exitCode = ParseOptions(argc, argv, options)) {
        return *exitCode;
    }
    platform::TakeWriteFailuresAsErrors();
    std::string problem;
    if (options.signatures && !PrepareSignatureChecks(options.trust, problem)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
        return kExitUsage;
    }
    platform::SetLookExtras({.headers = true,
                             .digest = options.sha256 ? Sha256OfContent : nullptr,
                             .check = options.signatures ? CheckSignature : nullptr,
                             .unversionedToo = options.all});
    OutputFile output(options.output, options.append ? "a" : "w", LineEndsOf(options.format));
    std::unique_ptr<RecordWriter> writer;
    switch (options.format) {
        case Format::JsonLines:
            writer = MakeJsonLinesWriter(output);
            break;
        case Format::Csv:
            writer = MakeCsvWriter(output);
            break;
        case Format::Sqlite:
            writer = MakeSqliteWriter(options.output, options.append);
            if (writer == nullptr) {
                std::fprintf(stderr, "%s: this build cannot write SQLite; use jsonl or csv\n",
                             kProgram);
                return kExitUsage;
            }
            break;
    }
    ScanInfo scan{.host = options.host,
                  .started = IsoTimeNow(),
                  .finished = {},
                  .directories = options.directories,
                  .toolVersion = QUILLET_VERSION,
                  .sha256 = options.sha256};
    if (!writer->Begin(scan)) {
        return WriteFailed(*writer);
    }
    InventoryRun run;
    run.writer = writer.get();
    run.scan = &scan;
    run.all = options.all;
    if (options.format != Format::Sqlite) {
        // Interrupted, a file keeps the records formed so far; a database, none of the run's.
        ActiveOutput = &output;
        WriteActiveOutputOnInterrupt();
    }
    ActiveInventory = &run;
    WalkArguments(options, run);
    ActiveInventory = nullptr;
    scan.finished = IsoTimeNow();
    const bool finished = !run.writeFailed && writer->Finish(scan);
    ActiveOutput = nullptr;
    ReportFailedReads(kProgram);
    if (!finished) {
        return WriteFailed(*writer);
    }
    return FailedReads.Count() > 0 ? kExitIncomplete : kExitDone;
}
