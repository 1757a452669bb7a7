// On Windows (or Wine), the platform's own version library reads the files the fixture writer
// makes, through the same readers as on POSIX systems.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fixtures/executable_writer.h"
#include "support/version_block.h"
#include "version/version_info.h"

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

}  // namespace
