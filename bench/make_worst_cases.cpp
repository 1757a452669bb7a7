// Writes the files that cost a version-resource reader the most, for the benchmark's worst-case
// row: the largest counts the formats allow, with what the reader looks for placed last.
//
//   make_worst_cases DIRECTORY

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fixtures/executable_writer.h"

namespace {

using namespace fixture;

constexpr std::uint16_t kMost = 65535;

ImageFile WorstPe(std::uint16_t sections, std::uint16_t entries, bool pe32Plus) {
    PeOptions options;
    options.pe32Plus = pe32Plus;
    options.resources = {
        VersionResource(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo("Worst", "Acme"))))};
    options.leadingSections = static_cast<std::uint16_t>(sections - 2);
    options.paddingEntries = static_cast<std::uint16_t>(entries - 1);
    return BuildPe(options);
}

// The NE resource table is bounded by 16-bit offsets: as many name records as fit, the version
// resource last.
ImageFile WorstNe() {
    NeOptions options;
    constexpr std::uint32_t kStringTableType = 6;
    for (std::uint32_t index = 0; index < 5400; ++index) {
        options.resources.push_back(Resource{kStringTableType, index + 1, 0, {0, 0}});
    }
    options.resources.push_back(
        VersionResource(EncodeNarrowBlock(MakeVersionTree(SimpleVersionInfo("Worst", "Acme")))));
    return BuildNe(options);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fputs("usage: make_worst_cases DIRECTORY\n", stderr);
        return 1;
    }
    const std::filesystem::path root(argv[1]);
    std::filesystem::create_directories(root);
    const std::vector<std::pair<std::string, ImageFile>> files = {
        {"most-sections-and-entries.exe", WorstPe(kMost, kMost, false)},
        {"most-sections-and-entries-64.dll", WorstPe(kMost, kMost, true)},
        {"most-entries.dll", WorstPe(2, kMost, false)},
        {"most-sections.dll", WorstPe(kMost, 1, false)},
        {"largest-ne-table.exe", WorstNe()},
    };
    for (const auto& [name, image] : files) {
        if (!WriteImage((root / name).string(), image)) {
            std::fprintf(stderr, "make_worst_cases: cannot write %s\n", name.c_str());
            return 1;
        }
    }
    return 0;
}
