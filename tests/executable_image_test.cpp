// Finding the version resource in PE and NE files, and surviving damaged ones.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "fixtures/damaged_files.h"
#include "fixtures/executable_writer.h"
#include "platform/platform.h"
#include "platform/posix/version_resources/executable_image.h"
#include "support/version_files.h"
#include "version/version_info.h"

namespace {

using namespace fixture;
using test_support::LoadImage;
using test_support::ReadValues;
using test_support::TempDir;
using test_support::Values;

Bytes Block(const std::string& product) {
    return EncodeWideBlock(MakeVersionTree(SimpleVersionInfo(product, "Acme")));
}

std::string ProductOf(const ImageFile& image) {
    TempDir dir;
    const auto block = LoadImage(dir, image);
    return block ? ReadValues(block.get()).product : "<none>";
}

ImageFile PeWith(std::vector<Resource> resources, bool sortIds = true) {
    PeOptions options;
    options.resources = std::move(resources);
    options.sortIds = sortIds;
    return BuildPe(options);
}

TEST(ResourceSelection, TakesTypeSixteenNameOne) {
    EXPECT_EQ(ProductOf(PeWith(
                  {Resource{kIconResourceType, std::uint32_t{1}, 0x0409, Block("Icon")},
                   Resource{kVersionResourceType, std::uint32_t{2}, 0x0409, Block("Second")},
                   VersionResource(Block("Widget")),
                   Resource{std::string("CUSTOM"), std::uint32_t{1}, 0x0409, Block("Named")}})),
              "Widget");
}

TEST(ResourceSelection, FindsNothingUnderOtherNames) {
    EXPECT_EQ(
        ProductOf(PeWith(
            {Resource{kVersionResourceType, std::uint32_t{2}, 0x0409, Block("Two")},
             Resource{kVersionResourceType, std::string("VERSION"), 0x0409, Block("Named")}})),
        "<none>");
    EXPECT_EQ(ProductOf(PeWith(
                  {Resource{std::string("16"), std::uint32_t{1}, 0x0409, Block("Named type")}})),
              "<none>");
}

TEST(ResourceSelection, PrefersNeutralThenUnitedStatesEnglishThenTheFirstListed) {
    EXPECT_EQ(ProductOf(PeWith({VersionResource(Block("German"), 0x0407),
                                VersionResource(Block("English"), 0x0409),
                                VersionResource(Block("Neutral"), 0x0000)},
                               false)),
              "Neutral");
    EXPECT_EQ(ProductOf(PeWith({VersionResource(Block("German"), 0x0407),
                                VersionResource(Block("French"), 0x040C),
                                VersionResource(Block("English"), 0x0409)},
                               false)),
              "English");
    EXPECT_EQ(ProductOf(PeWith({VersionResource(Block("French"), 0x040C),
                                VersionResource(Block("German"), 0x0407)},
                               false)),
              "French");
}

TEST(ResourceSelection, DoesNotRelyOnSortedEntries) {
    EXPECT_EQ(ProductOf(PeWith({Resource{std::uint32_t{24}, std::uint32_t{1}, 0x0409, {1, 2, 3}},
                                VersionResource(Block("Widget")),
                                Resource{kIconResourceType, std::uint32_t{1}, 0x0409, {4}}},
                               false)),
              "Widget");
}

TEST(ResourceSelection, FindsTheNeVersionResourceAmongOthers) {
    NeOptions options;
    options.resources = {
        Resource{kIconResourceType, std::uint32_t{1}, 0, {1, 2, 3, 4}},
        Resource{kVersionResourceType, std::uint32_t{2}, 0,
                 EncodeNarrowBlock(MakeVersionTree(SimpleVersionInfo("Two", "Acme")))},
        VersionResource(EncodeNarrowBlock(MakeVersionTree(SimpleVersionInfo("Widget", "Acme"))))};
    for (unsigned shift : {0u, 4u, 9u}) {
        options.alignmentShift = shift;
        EXPECT_EQ(ProductOf(BuildNe(options)), "Widget") << shift;
    }
}

TEST(ResourceSelection, ReadsBytesBeyondTheSectionsRawDataAsZeros) {
    // The text of the last value lies beyond the raw data: it reads as zeros, so the value is
    // empty.
    VersionInfo info = SimpleVersionInfo("Widget", "Acme");
    info.withTranslationTable = false;
    PeOptions options;
    options.resources = {VersionResource(EncodeWideBlock(MakeVersionTree(info)))};
    options.resourceRawShortfall = 8;
    TempDir dir;
    const auto block = LoadImage(dir, BuildPe(options));
    ASSERT_NE(block, nullptr);
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(
        VerQueryValueA(block.get(), "\\StringFileInfo\\040904B0\\ProductName", &value, &length));
    EXPECT_STREQ(static_cast<const char*>(value),
                 "Wid");  // "Widget" and its terminator less 8 bytes
}

// Every damaged file gives no version information or placeholders; never a crash, a hang or a
// read outside what was read (the sanitizer build checks the last).
TEST(DamagedFiles, GiveNoInformationOrPlaceholders) {
    for (const DamagedFile& file : DamagedFiles()) {
        const std::string product = ProductOf(file.image);
        EXPECT_EQ(product == "<none>" ? "" : product, file.product) << file.name;
    }
}

TEST(DamagedFiles, DamagedVersionBlocksGiveNoInformationOrPlaceholders) {
    const Bytes good = Block("Widget");
    const auto damage = [&](std::size_t at, std::uint16_t value) {
        Bytes block = good;
        Patch16(block, at, value);
        TempDir dir;
        const auto loaded = LoadImage(dir, PeWithVersion(block));
        return loaded ? ReadValues(loaded.get()) : Values{"<none>", "", ""};
    };
    EXPECT_EQ(damage(0, 0xFFFF),
              (Values{"1.2.3.4", "Acme", "Widget"}));  // longer than the resource
    EXPECT_EQ(damage(2, 0xFFFF).version, "1.2.3.4");   // value claims more: cut to its node
    EXPECT_EQ(damage(2, 20).version, NoInfoText);      // fixed record shorter than the record
    EXPECT_EQ(damage(0, 60).company, NoInfoText);      // the children cut off
    for (std::size_t at = 0; at < good.size(); at += 2) {
        for (std::uint16_t value : {std::uint16_t{0}, std::uint16_t{1}, std::uint16_t{0xFFFF}}) {
            damage(at, value);  // must not crash, hang or read outside the block
        }
    }
}

TEST(SpecialFiles, AreReportedWithoutVersionInformationAtOnce) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe.exe").c_str(), 0644), 0);
    const int writer =
        open((dir / "pipe.exe").c_str(), O_RDWR | O_NONBLOCK);  // a writer that never writes
    ASSERT_GE(writer, 0);
    EXPECT_EQ(test_support::LoadBlock((dir / "pipe.exe")), nullptr);
    close(writer);
    EXPECT_EQ(test_support::LoadBlock((dir / "pipe.exe")), nullptr);  // and with no writer at all

    const std::string socketPath = dir / "socket.dll";
    const int server = test_support::BindSocket(socketPath);
    ASSERT_GE(server, 0);
    EXPECT_EQ(test_support::LoadBlock(socketPath), nullptr);
    close(server);

    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.exe").c_str()), 0);
    EXPECT_EQ(test_support::LoadBlock((dir / "zero.exe")), nullptr);
}

std::uint64_t BytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    for (std::string key; io >> key;) {
        std::uint64_t value = 0;
        io >> value;
        if (key == "rchar:") {
            return value;
        }
    }
    return 0;
}

TEST(Economy, ReadsLittleOfALargeFileWithItsResourceAtTheEnd) {
    TempDir dir;
    PeOptions options;
    options.resources = {VersionResource(Block("Widget"))};
    options.resourceSectionOffset = std::uint64_t{1} << 30;  // a sparse gibibyte before it
    ASSERT_TRUE(WriteImage(dir / "large.exe", BuildPe(options)));
    const std::uint64_t before = BytesReadSoFar();
    const auto block = test_support::LoadBlock(dir / "large.exe");
    const std::uint64_t read = BytesReadSoFar() - before;
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(ReadValues(block.get()).product, "Widget");
    EXPECT_LT(read, 64u * 1024u);
}

TEST(Economy, WorkGrowsLinearlyWithWhatAFileHolds) {
    // The most a PE file can hold for a reader to wade through: 65,535 sections, the real ones
    // last, and resource tables of 65,535 entries at every level, the wanted one last.
    constexpr std::uint64_t kMostSections = 65535;
    constexpr std::uint64_t kMostEntries = 65535;
    PeOptions options;
    options.resources = {VersionResource(Block("Widget"))};
    options.leadingSections = kMostSections - 2;
    options.paddingEntries = kMostEntries - 1;
    const ImageFile image = BuildPe(options);
    const std::uint64_t before = platform::posix::StructuresExamined();
    EXPECT_EQ(ProductOf(image), "Widget");
    const std::uint64_t work = platform::posix::StructuresExamined() - before;
    // Loaded once for its size and once for its bytes; each look-up of an address a binary search.
    EXPECT_LT(work, 2 * 20 * (kMostSections + 3 * kMostEntries));
}

TEST(Economy, ReadsAFileOnceForItsBlockSizeAndBlock) {
    TempDir dir;
    const std::string path = dir / "once.exe";
    ASSERT_TRUE(WriteImage(path, PeWithVersion(Block("Widget"))));
    const std::uint64_t before = BytesReadSoFar();
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
    const std::uint64_t sized = BytesReadSoFar();
    std::vector<unsigned char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
    const std::uint64_t loaded = BytesReadSoFar();
    EXPECT_EQ(ReadValues(block.data()).product, "Widget");
    // Each look at the counter reads it, some hundred bytes; the file is some 2 KiB.
    EXPECT_GT(sized - before, 1536u);
    EXPECT_LT(loaded - sized, 512u);
    // What the one look found is handed out once: a later, separate call looks again.
    ASSERT_TRUE(WriteImage(path, PeWithVersion(Block("Gadget"))));
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
    EXPECT_EQ(ReadValues(block.data()).product, "Gadget");
}

}  // namespace
