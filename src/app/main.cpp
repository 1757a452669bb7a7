// quillet: lists the version information of the program files in a directory tree.

#include <cstdio>
#include <string>

#include "output/output_file.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "walk/read_failures.h"
#include "walk/walk.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitUsage = 1;
constexpr int kExitOpenFailed = 2;
constexpr int kExitWriteFailed = 3;
constexpr int kExitIncomplete = 4;

void PrintUsage() {
    std::fputs("Usage:\n\n", stdout);
    std::fputs("   Quillet directory output-file [-a]\n", stdout);
    std::fputs("      -a = Append to Output file (optional)\n", stdout);
}

// Only with exactly three arguments is the third looked at.
bool AppendRequested(int argc, char* argv[]) {
    if (argc != 4) {
        return false;
    }
    std::string flag(argv[3]);
    platform::LowerCaseAscii(flag);
    return flag == "-a" || flag == "/a";
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        PrintUsage();
        return kExitUsage;
    }
    const bool append = AppendRequested(argc, argv);
    platform::TakeWriteFailuresAsErrors();
    OutputFile output(argv[2], append ? "a" : "w");
    if (output.Write("") != S_OK) {
        std::fputs("Error: Open output file failed !!\n", stdout);
        return kExitOpenFailed;
    }
    ActiveOutput = &output;
    WriteActiveOutputOnInterrupt();
    platform::PrepareConsole();
    std::string pattern = SearchPatternOf(argv[1]);
    std::printf(
        "\n\nSave Version Informations\n Directory: '%s'\n Output   : '%s' %s\n Number of files:\n",
        pattern.c_str(), argv[2], append ? "(append)" : "");
    ScanDirectory(pattern);
    const HRESULT closed = output.Close();
    ActiveOutput = nullptr;
    ReportFailedReads("quillet");
    if (closed != S_OK) {
        std::fputs("\nError: Write output file failed !!\n", stdout);
        return kExitWriteFailed;
    }
    if (FailedReads.Count() > 0) {
        std::fputs("\nError: Some files could not be read !!\n", stdout);
        return kExitIncomplete;
    }
    std::fputs("\nOk\n", stdout);
    return kExitDone;
}
