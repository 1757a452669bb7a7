// The query over a version block, as the platform's version library answers it.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fixtures/executable_writer.h"
#include "platform/platform.h"
#include "support/version_files.h"

namespace {

using namespace fixture;
using test_support::LoadImage;
using test_support::TempDir;

class VersionQuery : public ::testing::Test {
  protected:
    void Load(const VersionNode& tree, bool narrow = false) {
        block = LoadImage(dir, narrow ? NeWithVersion(EncodeNarrowBlock(tree))
                                      : PeWithVersion(EncodeWideBlock(tree)));
        ASSERT_NE(block, nullptr);
    }

    // The text at path, or "<none>" when the query fails.
    std::string Text(const char* path) {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(block.get(), path, &value, &length)) {
            return "<none>";
        }
        return std::string(static_cast<const char*>(value),
                           strnlen(static_cast<const char*>(value), length));
    }

    bool Finds(const char* path) {
        void* value = nullptr;
        UINT length = 0;
        return VerQueryValueA(block.get(), path, &value, &length) != 0;
    }

    TempDir dir;
    test_support::Block block;
};

VersionNode WidgetTree() {
    return MakeVersionTree(SimpleVersionInfo("Widget", "Acme"));
}

// The root is named by a backslash or by nothing; empty components are skipped and letter case
// ignored, but a key must match whole.
TEST_F(VersionQuery, SkipsEmptyComponentsAndIgnoresLetterCase) {
    Load(WidgetTree());
    for (const char* root : {"\\", "", "\\\\"}) {
        void* value = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(block.get(), root, &value, &length)) << root;
        EXPECT_EQ(length, 52u);
        DWORD signature = 0;
        std::memcpy(&signature, value, sizeof signature);
        EXPECT_EQ(signature, 0xFEEF04BDu);
    }
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\CompanyName"), "Acme");
    EXPECT_EQ(Text("StringFileInfo\\\\040904b0\\\\companyNAME\\"), "Acme");
    EXPECT_EQ(Text("\\STRINGFILEINFO\\040904B0\\ProductName"), "Widget");
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\Company"), "<none>");
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\CompanyNameX"), "<none>");
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\CompanyName\\Deeper"), "<none>");
    // Each text is converted into room of its own: an answer stands whatever is asked next.
    void* product = nullptr;
    UINT length = 0;
    ASSERT_TRUE(
        VerQueryValueA(block.get(), "\\StringFileInfo\\040904B0\\ProductName", &product, &length));
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\CompanyName"), "Acme");
    EXPECT_STREQ(static_cast<const char*>(product), "Widget");
}

TEST_F(VersionQuery, MatchesKeysBeyondAsciiCharacterByCharacter) {
    VersionInfo info = SimpleVersionInfo("Widget", "Acme");
    info.stringTables[0].strings = {{"Caf\xC3\xA9", "one"},
                                    {"\xF0\x9D\x92\x9Cpp", "two"},
                                    {"\xC2\x80", "c1"},
                                    {"\xF4\x8F\xBF\xBF", "last"}};
    Load(MakeVersionTree(info));
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\Caf\xC3\xA9"), "one");
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\CAF\xC3\xA9"), "one");
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\CAF\xC3\x89"), "<none>");      // only A to Z fold
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\\xF0\x9D\x92\x9Cpp"), "two");  // a surrogate pair
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\\xF0\x9D\x92\x9Dpp"), "<none>");
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\\xF4\x8F\xBF\xBF"), "last");  // U+10FFFF
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\\xC2\x80"), "c1");            // U+0080
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\\x80"), "<none>");  // a byte 0x80 is no U+0080
    for (const char* malformed :
         {"\\StringFileInfo\\040904B0\\Caf\x80", "\\StringFileInfo\\040904B0\\Caf\xC3",
          "\\StringFileInfo\\040904B0\\Caf\xC0\xA9"}) {
        EXPECT_EQ(Text(malformed), "<none>");
    }
}

// A child of length zero, or one that would run past its parent, ends the search among its
// siblings; other nodes are still found.
TEST_F(VersionQuery, AChildOfLengthZeroOrRunningPastItsParentEndsTheSearch) {
    VersionNode zero = WidgetTree();
    VersionNode empty = TextNode("Comments", "");
    empty.lengthOverride = 0;
    auto& zeroTable = zero.children[0].children[0].children;
    zeroTable.insert(zeroTable.begin() + 1, empty);  // between CompanyName and ProductName
    Load(zero);
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\CompanyName"), "Acme");
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\ProductName"), "<none>");
    VersionNode overlong = WidgetTree();
    overlong.children[0].children[0].children[0].lengthOverride = 4000;
    Load(overlong);
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\CompanyName"), "<none>");
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\ProductName"), "<none>");
    EXPECT_TRUE(Finds("\\VarFileInfo\\Translation"));
}

TEST_F(VersionQuery, ConvertsOnlyValuesOfTheTextType) {
    VersionNode tree = WidgetTree();
    tree.children[0].children[0].children[0].typeOverride = 0;  // CompanyName marked binary
    Load(tree);
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(
        VerQueryValueA(block.get(), "\\StringFileInfo\\040904B0\\CompanyName", &value, &length));
    // A binary value is wValueLength bytes: here the writer counted units, so half the text.
    const char expected[] = {'A', 0, 'c', 0, 'm'};
    ASSERT_EQ(length, 5u);
    EXPECT_EQ(std::memcmp(value, expected, sizeof expected), 0);
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\ProductName"), "Widget");
}

TEST_F(VersionQuery, ATextRunsToItsFirstZeroUnitAndNeverPastItsNode) {
    VersionNode tree = WidgetTree();
    VersionNode& company = tree.children[0].children[0].children[0];
    company.units = std::u16string(u"Acme\0Hidden", 11);
    company.valueLengthOverride = 200;  // claims more than the node holds
    VersionNode& product = tree.children[0].children[0].children[1];
    product.terminateText = false;
    product.valueLengthOverride = 0;
    Load(tree);
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\CompanyName"), "Acme");
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\ProductName"), "Widget");
}

TEST_F(VersionQuery, NarrowBlocksConvertOnlyTheirStrings) {
    Load(WidgetTree(), true);
    EXPECT_EQ(Text("\\StringFileInfo\\040904B0\\CompanyName"), "Acme");
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.get(), "\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4u);
    const unsigned char expected[] = {0x09, 0x04, 0xB0, 0x04};
    EXPECT_EQ(std::memcmp(value, expected, sizeof expected), 0);
}

TEST_F(VersionQuery, RefusesMissingArguments) {
    Load(WidgetTree());
    void* value = nullptr;
    UINT length = 0;
    EXPECT_FALSE(VerQueryValueA(nullptr, "\\", &value, &length));
    EXPECT_FALSE(VerQueryValueA(block.get(), nullptr, &value, &length));
    EXPECT_FALSE(VerQueryValueA(block.get(), "\\", nullptr, &length));
    EXPECT_TRUE(VerQueryValueA(block.get(), "\\", &value, nullptr));
    EXPECT_EQ(GetFileVersionInfoSizeA(nullptr, nullptr), 0u);
    EXPECT_FALSE(GetFileVersionInfoA(nullptr, 0, 4096, block.get()));
    EXPECT_FALSE(GetFileVersionInfoA((dir / "file.exe").c_str(), 0, 4096, nullptr));
}

TEST(VersionBlockSize, CoversTheResourceAndTheRoomForConvertedTexts) {
    TempDir dir;
    const Bytes block = EncodeWideBlock(WidgetTree());
    ASSERT_TRUE(WriteImage(dir / "w.exe", PeWithVersion(block)));
    DWORD handle = 99;
    const DWORD size = GetFileVersionInfoSizeA((dir / "w.exe").c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    ASSERT_EQ(block.size(), 312u);
    // The resource, then room for its texts converted (three bytes for each of its bytes) and a
    // terminator's alignment: 312 + 936 + 4.
    EXPECT_EQ(size, 1252u);
    std::vector<unsigned char> tooSmall(size - 1);
    EXPECT_FALSE(GetFileVersionInfoA((dir / "w.exe").c_str(), 0, size - 1, tooSmall.data()));
}

}  // namespace
