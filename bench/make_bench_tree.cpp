// Builds a realistic tree for the benchmark with the project's fixture writer: by default 200,000
// files in 20,000 directories, 40,000 of them named .exe, .dll or .ocx. Of those, most carry
// version information behind a code section of realistic size (written sparse), some are large
// with the resource near their end, some have no version resource, and some are not program files
// at all. The rest are small ordinary files. The same arguments always give the same tree.
//
//   make_bench_tree DIRECTORY [FILES [DIRECTORIES [CANDIDATES [SHAPE]]]]
//
// SHAPE lays the directories out: "vendors" (the default: folders of 100 components, like
// installed software), "deep" (each directory under one of the last fifty made, so that chains
// reach some 85 levels, as node_modules trees and a Wine prefix's user folders do), "wide" (100
// folders of 20 folders, like Program Files) or "flat" (one directory holding every file, like
// System32). The files are spread evenly over the directories.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fixtures/executable_writer.h"

namespace {

using namespace fixture;

// A fixed linear congruential generator, so that every run builds the same tree.
class Sequence {
  public:
    std::uint32_t Next(std::uint32_t bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>((state >> 33) % bound);
    }

  private:
    std::uint64_t state = 0x5157494C4C4554ULL;
};

const char* const kProducts[] = {"Widget Suite",    "Acme Office",      "Northwind Viewer",
                                 "Contoso Runtime", "Fabrikam Drivers", "Litware Media Player",
                                 "Tailspin Toolkit"};
const char* const kCompanies[] = {"Acme Corporation", "Northwind Traders", "Contoso Ltd.",
                                  "Fabrikam, Inc.",   "Litware, Inc.",     "Tailspin Toys"};
const char* const kExtensions[] = {".dll", ".exe", ".DLL", ".ocx", ".EXE", ".Dll"};
const char* const kOtherExtensions[] = {".txt", ".ini",      ".xml", ".png",
                                        ".mui", ".manifest", ".dat", ""};

ImageFile VersionedImage(Sequence& random, std::uint64_t codeSize) {
    const VersionInfo info = SimpleVersionInfo(
        kProducts[random.Next(7)], kCompanies[random.Next(6)],
        {static_cast<std::uint16_t>(random.Next(20)), static_cast<std::uint16_t>(random.Next(10)),
         static_cast<std::uint16_t>(random.Next(30000)),
         static_cast<std::uint16_t>(random.Next(100))});
    const VersionNode tree = MakeVersionTree(info);
    if (random.Next(50) == 0) {
        return NeWithVersion(EncodeNarrowBlock(tree));
    }
    PeOptions options;
    options.pe32Plus = random.Next(2) == 0;
    options.machine = options.pe32Plus ? Machine::Amd64 : Machine::I386;
    options.dll = true;
    options.resources = {Resource{kIconResourceType, std::uint32_t{1}, 0x0409, Bytes(744, 0x11)},
                         Resource{kIconResourceType, std::uint32_t{2}, 0x0409, Bytes(2216, 0x22)},
                         VersionResource(EncodeWideBlock(tree)),
                         Resource{std::uint32_t{24}, std::uint32_t{1}, 0x0409, Bytes(381, '<')}};
    options.resourceSectionOffset = codeSize;
    return BuildPe(options);
}

ImageFile Candidate(Sequence& random) {
    const std::uint32_t kind = random.Next(100);
    if (kind < 2) {  // large, the resource near the end of 32 to 96 MiB
        return VersionedImage(random, (32 + std::uint64_t{random.Next(64)}) << 20);
    }
    if (kind < 10) {
        return BuildPe(PeOptions{});
    }
    if (kind < 15) {
        ImageFile text;
        text.bytes.assign(200 + random.Next(4000), 'x');
        return text;
    }
    return VersionedImage(random, (8 + std::uint64_t{random.Next(500)}) * 1024 / 512 * 512);
}

// Each directory's path under the root, by the shape's rule.
std::vector<std::filesystem::path> Directories(const std::string& shape, long count) {
    std::vector<std::filesystem::path> paths;
    Sequence random;
    for (long index = 0; index < count; ++index) {
        const std::string name = std::string("d").append(std::to_string(index));
        if (shape == "deep") {
            constexpr long kLastMade = 50;
            const long earliest = std::max(0L, index - kLastMade);
            const long parent = index == 0 ? -1 : earliest + random.Next(index - earliest);
            paths.push_back(parent < 0 ? std::filesystem::path(name) : paths[parent] / name);
        } else if (shape == "wide") {
            paths.push_back(std::filesystem::path("Folder").concat(std::to_string(index / 20)) /
                            name);
        } else if (shape == "flat") {
            paths.push_back(".");
        } else {
            paths.push_back(std::filesystem::path("Vendor").concat(std::to_string(index / 100)) /
                            std::filesystem::path("Component").concat(std::to_string(index)));
        }
    }
    return paths;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fputs("usage: make_bench_tree DIRECTORY [FILES [DIRECTORIES [CANDIDATES [SHAPE]]]]\n",
                   stderr);
        return 1;
    }
    const std::filesystem::path root(argv[1]);
    const long files = argc > 2 ? std::atol(argv[2]) : 200000;
    const long directories = argc > 3 ? std::atol(argv[3]) : 20000;
    const long candidates = argc > 4 ? std::atol(argv[4]) : 40000;
    const std::string shape = argc > 5 ? argv[5] : "vendors";
    if (files <= 0 || directories <= 0 || candidates < 0 || candidates > files) {
        std::fputs("make_bench_tree: need FILES > 0, DIRECTORIES > 0, 0 <= CANDIDATES <= FILES\n",
                   stderr);
        return 1;
    }
    Sequence random;
    const std::vector<std::filesystem::path> folders = Directories(shape, directories);
    for (long index = 0; index < files; ++index) {
        const std::filesystem::path folder = root / folders[index % directories];
        if (index < directories) {
            std::filesystem::create_directories(folder);
        }
        // Candidates are spread evenly over the files.
        const bool candidate = index * candidates / files != (index + 1) * candidates / files;
        std::string name = "file" + std::to_string(index);
        ImageFile image;
        if (candidate) {
            name += kExtensions[random.Next(6)];
            image = Candidate(random);
        } else {
            name += kOtherExtensions[random.Next(8)];
            image.bytes.assign(100 + random.Next(2000), 'o');
        }
        if (!WriteImage((folder / name).string(), image)) {
            std::fprintf(stderr, "make_bench_tree: cannot write %s\n", (folder / name).c_str());
            return 1;
        }
    }
    return 0;
}
