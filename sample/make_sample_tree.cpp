// Builds the small sample tree that `make run` lists: program files of each kind, with and without
// version information, in nested directories, including one directory the walk does not enter.
//
//   make_sample_tree DIRECTORY

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "fixtures/executable_writer.h"

namespace {

using namespace fixture;

constexpr timespec kSampleTime{1710506096, 0};  // 2024-03-15 12:34:56 UTC

struct SampleFile {
    const char* path;
    ImageFile image;
};

Bytes Wide(const std::string& product, const std::string& company,
           std::array<std::uint16_t, 4> version) {
    return EncodeWideBlock(MakeVersionTree(SimpleVersionInfo(product, company, version)));
}

ImageFile Pe(const Bytes& block, bool pe32Plus, Machine machine, bool dotNet = false) {
    PeOptions options;
    options.pe32Plus = pe32Plus;
    options.machine = machine;
    options.dotNet = dotNet;
    options.resources = {VersionResource(block)};
    return BuildPe(options);
}

bool Write(const std::filesystem::path& root, const SampleFile& file) {
    const std::filesystem::path path = root / file.path;
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error || !WriteImage(path.string(), file.image)) {
        return false;
    }
    const timespec times[2] = {kSampleTime, kSampleTime};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fputs("usage: make_sample_tree DIRECTORY\n", stderr);
        return 1;
    }
    const std::filesystem::path root(argv[1]);
    std::error_code error;
    std::filesystem::remove_all(root, error);

    VersionInfo blankCompany = SimpleVersionInfo("Widget Themes", "   ", {1, 0, 0, 0});
    ImageFile readme;
    readme.bytes = {'S', 'a', 'm', 'p', 'l', 'e', '\n'};
    const SampleFile files[] = {
        {"Apps/Widget.exe", Pe(Wide("Widget", "Acme Tools", {1, 2, 3, 4}), false, Machine::I386)},
        {"Apps/Bin/Helper.DLL",
         Pe(Wide("Widget Helper", "Acme Tools", {1, 2, 3, 5}), true, Machine::Amd64)},
        {"Apps/Bin/arm64/Native.dll",
         Pe(Wide("Widget Native", "Acme Tools", {1, 2, 0, 0}), true, Machine::Arm64)},
        {"Apps/Bin/Legacy/OLDCTL.OCX",
         NeWithVersion(EncodeNarrowBlock(MakeVersionTree(
             SimpleVersionInfo("Old Control", "Acme Tools (1994)", {3, 1, 0, 7}))))},
        {"Apps/Themes.dll",
         Pe(EncodeWideBlock(MakeVersionTree(blankCompany)), false, Machine::I386)},
        {"Apps/NoVersion.exe", BuildPe(PeOptions{})},
        {"Apps/readme.txt", readme},
        {"Tools/Managed.exe", Pe(Wide("Managed Tool", "Example Software", {4, 0, 30319, 1}), false,
                                 Machine::I386, true)},
        {".hidden/Skipped.exe",
         Pe(Wide("Never Listed", "Hidden Directory", {9, 9, 9, 9}), false, Machine::I386)},
    };
    for (const SampleFile& file : files) {
        if (!Write(root, file)) {
            std::fprintf(stderr, "make_sample_tree: cannot write %s\n", file.path);
            return 1;
        }
    }
    return 0;
}
