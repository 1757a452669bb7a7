// The three readers, on version resources of PE32, PE32+ and NE files made by the fixture writer.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fixtures/executable_writer.h"
#include "support/version_files.h"
#include "version/version_info.h"

namespace {

using namespace fixture;
using test_support::LoadImage;
using test_support::ReadValues;
using test_support::TempDir;
using test_support::Values;

const Values kWidget{"1.2.3.4", "Acme", "Widget"};

VersionInfo InfoWithStrings(std::vector<std::pair<std::string, std::string>> strings,
                            std::string table = "040904B0") {
    VersionInfo info;
    info.stringTables = {{std::move(table), std::move(strings)}};
    return info;
}

Values ValuesOf(const ImageFile& image) {
    TempDir dir;
    const auto block = LoadImage(dir, image);
    EXPECT_NE(block, nullptr);
    return block ? ReadValues(block.get()) : Values{};
}

Values WideValues(const VersionInfo& info,
                  TextLengthStyle style = TextLengthStyle::UnitsWithTerminator) {
    return ValuesOf(PeWithVersion(EncodeWideBlock(MakeVersionTree(info), style)));
}

TEST(VersionReaders, ReadWidgetFromEveryKindOfFile) {
    const VersionInfo info = SimpleVersionInfo("Widget", "Acme", {1, 2, 3, 4});
    const Bytes wide = EncodeWideBlock(MakeVersionTree(info));
    EXPECT_EQ(ValuesOf(PeWithVersion(wide)), kWidget) << "PE32";
    EXPECT_EQ(ValuesOf(PeWithVersion(wide, true)), kWidget) << "PE32+";
    EXPECT_EQ(ValuesOf(NeWithVersion(EncodeNarrowBlock(MakeVersionTree(info)))), kWidget) << "NE";
    for (Machine machine : {Machine::I386, Machine::Amd64, Machine::Arm64}) {
        PeOptions options;
        options.pe32Plus = machine != Machine::I386;
        options.machine = machine;
        options.dotNet = true;
        options.dll = true;
        options.resources = {VersionResource(wide)};
        EXPECT_EQ(ValuesOf(BuildPe(options)), kWidget) << static_cast<int>(machine);
    }
}

// Four decimal numbers; the placeholder for a missing fixed record, or one too short to hold
// the version (never read past).
TEST(VersionReaders, PrintTheFourPartsOfTheFileVersionInDecimal) {
    EXPECT_EQ(WideValues(SimpleVersionInfo("P", "C", {1, 0, 1, 0})).version, "1.0.1.0");
    EXPECT_EQ(WideValues(SimpleVersionInfo("P", "C", {65535, 65535, 65535, 65535})).version,
              "65535.65535.65535.65535");
    VersionInfo info = SimpleVersionInfo("Widget", "Acme");
    info.fileVersion.reset();
    EXPECT_EQ(WideValues(info), (Values{NoInfoText, "Acme", "Widget"}));
    VersionNode tree = MakeVersionTree(SimpleVersionInfo("Widget", "Acme"));
    tree.binary->resize(40);
    EXPECT_EQ(ValuesOf(PeWithVersion(EncodeWideBlock(tree))).version, NoInfoText);
}

// The names come from the first translation's table only: none is tried after it, and without a
// table for it, or without any translation, they read as the placeholder.
TEST(VersionReaders, TakeNamesFromTheFirstTranslationsTableOnly) {
    VersionInfo info;
    info.translations = {{0x0407, 0x04B0}, {0x0409, 0x04B0}};
    info.stringTables = {
        {"040904B0", {{"CompanyName", "Acme"}, {"ProductName", "Widget"}}},
        {"040704B0", {{"CompanyName", "Acme GmbH"}, {"ProductName", "Dingsbums"}}}};
    EXPECT_EQ(WideValues(info), (Values{"1.2.3.4", "Acme GmbH", "Dingsbums"}));
    const Values none{"1.2.3.4", NoInfoText, NoInfoText};
    EXPECT_EQ(WideValues(InfoWithStrings({{"CompanyName", "Acme"}}, "040904E4")), none);
    VersionInfo withoutTable = SimpleVersionInfo("Widget", "Acme");
    withoutTable.withTranslationTable = false;
    EXPECT_EQ(WideValues(withoutTable), none);
    VersionInfo emptyTable = SimpleVersionInfo("Widget", "Acme");
    emptyTable.translations.clear();
    EXPECT_EQ(WideValues(emptyTable), none);
}

TEST(VersionReaders, ReadTextsHoweverTheirLengthIsCounted) {
    const VersionInfo info = SimpleVersionInfo("Widget", "Acme");
    for (auto style : {TextLengthStyle::UnitsWithTerminator,
                       TextLengthStyle::UnitsWithoutTerminator, TextLengthStyle::Bytes}) {
        EXPECT_EQ(WideValues(info, style), kWidget) << static_cast<int>(style);
    }
    VersionNode unterminated = MakeVersionTree(info);
    for (VersionNode& text : unterminated.children[0].children[0].children) {
        text.terminateText = false;
    }
    EXPECT_EQ(ValuesOf(PeWithVersion(
                  EncodeWideBlock(unterminated, TextLengthStyle::UnitsWithoutTerminator))),
              kWidget);
}

TEST(VersionReaders, FindKeysInAnyLetterCaseAndCopyEmptyValuesAsTheyAre) {
    EXPECT_EQ(WideValues(InfoWithStrings({{"companyname", "Acme"}, {"PRODUCTNAME", "Widget"}},
                                         "040904b0")),
              kWidget);
    EXPECT_EQ(WideValues(InfoWithStrings({{"CompanyName", ""}, {"ProductName", "Widget"}})),
              (Values{"1.2.3.4", "", "Widget"}));
}

// Company names cut to 255 bytes, product names to 50, never inside a multi-byte character; the
// rest of the buffer up to the limit filled with NULs, nothing past it touched, and a smaller
// buffer lowering the limit.
TEST(VersionReaders, CutValuesToTheirLimitsWhole) {
    const Values cut = WideValues(InfoWithStrings(
        {{"CompanyName", std::string(300, 'c')}, {"ProductName", std::string(60, 'p')}}));
    EXPECT_EQ(cut.company, std::string(255, 'c'));
    EXPECT_EQ(cut.product, std::string(50, 'p'));
    const Values characters =
        WideValues(InfoWithStrings({{"CompanyName", std::string(254, 'c') + "\xF0\x9F\x98\x80"},
                                    {"ProductName", std::string(49, 'p') + "\xC3\xA9"}}));
    EXPECT_EQ(characters.company, std::string(254, 'c'));
    EXPECT_EQ(characters.product, std::string(49, 'p'));
    EXPECT_EQ(
        WideValues(InfoWithStrings({{"ProductName", std::string(48, 'p') + "\xC3\xA9"}})).product,
        std::string(48, 'p') + "\xC3\xA9");

    TempDir dir;
    const auto block = LoadImage(
        dir, PeWithVersion(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo("Widget", "Acme")))));
    ASSERT_NE(block, nullptr);
    char product[52];
    std::memset(product, '#', sizeof product);
    ReadProductName(block.get(), product, 50);
    EXPECT_EQ(std::string(product, 51), "Widget" + std::string(45, '\0'));
    EXPECT_EQ(product[51], '#');
    char small[4];
    ReadProductName(block.get(), small, 50);
    EXPECT_EQ(std::string(small, 4), std::string("Wid") + '\0');
}

// Wide texts become UTF-8 (every length of character; a lone surrogate U+FFFD), narrow ones
// are read as Windows-1252.
TEST(VersionReaders, ConvertTextsToUtf8) {
    // The last and first code points of each UTF-8 length: U+007F, U+0080, U+07FF, U+0800,
    // U+FFFD, U+10000 and U+10FFFF.
    const std::string text =
        "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBD\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
    EXPECT_EQ(WideValues(InfoWithStrings({{"CompanyName", text}})).company, text);

    VersionNode lone = MakeVersionTree(InfoWithStrings({{"CompanyName", "x"}}));
    lone.children[0].children[0].children[0].units =
        std::u16string{u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
    EXPECT_EQ(ValuesOf(PeWithVersion(EncodeWideBlock(lone))).company,
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");

    VersionInfo narrow =
        InfoWithStrings({{"CompanyName", "Caf\xE9 \x80 \x81"}, {"ProductName", "Widget\x99"}});
    EXPECT_EQ(ValuesOf(NeWithVersion(EncodeNarrowBlock(MakeVersionTree(narrow)))),
              (Values{"1.2.3.4", "Caf\xC3\xA9 \xE2\x82\xAC \xC2\x81", "Widget\xE2\x84\xA2"}));
}

TEST(LoadVersionBlock, GivesNoneForFilesWithoutVersionInformation) {
    TempDir dir;
    EXPECT_EQ(LoadImage(dir, BuildPe(PeOptions{})), nullptr);
    EXPECT_EQ(test_support::LoadBlock((dir / "absent.exe")), nullptr);
    EXPECT_EQ(test_support::LoadBlock(dir.Path()), nullptr);
    EXPECT_TRUE(WriteBytes(dir / "empty.dll", {}));
    EXPECT_EQ(test_support::LoadBlock((dir / "empty.dll")), nullptr);
    EXPECT_TRUE(WriteBytes(dir / "text.exe", {'M', 'Z', 'h', 'i'}));
    EXPECT_EQ(test_support::LoadBlock((dir / "text.exe")), nullptr);
}

}  // namespace
