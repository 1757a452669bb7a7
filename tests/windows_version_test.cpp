// On Windows (or Wine), the platform's own version library reads the files the fixture writer
// makes, through the same readers as on POSIX systems.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/executable_writer.h"
#include "output/output_file.h"
#include "support/version_block.h"
#include "version/version_info.h"
#include "walk/walk.h"

namespace {

using namespace fixture;

using test_support::Values;

Values ReadFrom(const ImageFile& image, const std::string& name) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / name;
    EXPECT_TRUE(WriteImage(path.string(), image));
    const test_support::Block block = test_support::LoadBlock(path.string());
    std::filesystem::remove(path);
    return block ? test_support::ReadValues(block.get()) : Values{"<none>", "", ""};
}

TEST(PlatformVersionLibrary, ReadsWidgetFromEveryKindOfFile) {
    const VersionInfo info = SimpleVersionInfo("Widget", "Acme", {1, 2, 3, 4});
    const Values widget{"1.2.3.4", "Acme", "Widget"};
    EXPECT_EQ(ReadFrom(PeWithVersion(EncodeWideBlock(MakeVersionTree(info))), "quillet-pe32.dll"),
              widget);
    EXPECT_EQ(
        ReadFrom(PeWithVersion(EncodeWideBlock(MakeVersionTree(info)), true), "quillet-pe64.dll"),
        widget);
    EXPECT_EQ(ReadFrom(NeWithVersion(EncodeNarrowBlock(MakeVersionTree(info))), "quillet-ne.dll"),
              widget);
}

TEST(PlatformVersionLibrary, CutsAndPlaceholdersAreTheReadersOwn) {
    VersionInfo info;
    info.stringTables = {
        {"040904B0",
         {{"CompanyName", std::string(300, 'c')}, {"ProductName", std::string(60, 'p')}}}};
    EXPECT_EQ(ReadFrom(PeWithVersion(EncodeWideBlock(MakeVersionTree(info))), "quillet-long.dll"),
              (Values{"1.2.3.4", std::string(255, 'c'), std::string(50, 'p')}));
    info.translations = {{0x0409, 0x04E4}};
    EXPECT_EQ(ReadFrom(PeWithVersion(EncodeWideBlock(MakeVersionTree(info))), "quillet-other.dll"),
              (Values{"1.2.3.4", NoInfoText, NoInfoText}));
    EXPECT_EQ(ReadFrom(BuildPe(PeOptions{}), "quillet-none.dll").version, "<none>");
}

// Every name a folder can hold is listed: names outside any one ANSI code page (the programs'
// manifest makes texts UTF-8), names of DOS devices (the calls take \\?\ paths, in which they are
// files: com1.dll no longer opens the serial port), and a file at a path of 300 characters.
TEST(WindowsNames, EveryNameIsListed) {
    ASSERT_EQ(GetACP(), static_cast<UINT>(CP_UTF8)) << "the manifest sets the code page";
    const std::filesystem::path top = std::filesystem::temp_directory_path() / "quillet-names";
    std::filesystem::remove_all(platform::windows::ExtendedPath(top.string().c_str()));
    const std::string longFolder = std::string(100, 'd') + "\\" + std::string(100, 'e');
    std::vector<std::string> names = {
        "plain.dll",
        "caf\xC3\xA9.dll",
        "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.dll",
        "za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87.dll",
        "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC\\app.exe",
        "\xE4\xB8\xAD\xE6\x96\x87\xE7\x9B\xAE\xE5\xBD\x95\\x.dll",
        "ok.dll",
        "com1.dll",
        "aux.dll",
        "nul.dll",
        "con.exe",
        "lpt1.ocx",
        "prn.dll"};
    const std::string deep = longFolder + "\\" + std::string(80, 'f') + ".dll";
    names.push_back(deep);
    const ImageFile widget = PeWithVersion(
        EncodeWideBlock(MakeVersionTree(SimpleVersionInfo("Widget", "Acme", {1, 2, 3, 4}))));
    for (const std::string& name : names) {
        // Written through a \\?\ path too (else nul.dll would be the device), its UTF-8 as such.
        const std::string extended =
            platform::windows::ExtendedPath((top.string() + "\\" + name).c_str());
        const std::filesystem::path path(
            std::u8string(reinterpret_cast<const char8_t*>(extended.c_str())));
        std::filesystem::create_directories(path.parent_path());
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(widget.bytes.data()),
                   static_cast<std::streamsize>(widget.bytes.size()));
        ASSERT_TRUE(file.good()) << name;
    }
    ASSERT_GE(top.string().size() + 1 + deep.size(), 300u);

    const std::string listing =
        (std::filesystem::temp_directory_path() / "quillet-names.txt").string();
    {
        OutputFile output(listing, "w");
        ASSERT_EQ(output.Write(""), S_OK);
        ActiveOutput = &output;
        std::string pattern = top.string() + "\\*.*";
        ScanDirectory(pattern);
        ActiveOutput = nullptr;
        ASSERT_EQ(output.Close(), S_OK);
    }
    std::stringstream text;
    {
        std::ifstream stream(listing, std::ios::binary);
        text << stream.rdbuf();
    }
    std::vector<std::string> listed;
    for (std::string line; std::getline(text, line);) {
        const std::string path = line.substr(line.rfind('\t') + 1);
        listed.push_back(
            path.substr(top.string().size() + 1, path.size() - top.string().size() - 2));
        EXPECT_EQ(line.substr(0, 6), "Widget") << path;
    }
    std::vector<std::string> expected;
    for (std::string name : names) {
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
        expected.push_back(name);
    }
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
    std::filesystem::remove_all(platform::windows::ExtendedPath(top.string().c_str()));
    std::filesystem::remove(listing);
}

}  // namespace
