// Finding the version resource in PE and NE files, and surviving damaged ones.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "fixtures/damaged_files.h"
#include "fixtures/executable_writer.h"
#include "platform/platform.h"
#include "platform/posix/version_resources/executable_image.h"
#include "platform/posix/version_resources/file_source.h"
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

// Type 16, name 1, whatever else the file holds and in whatever order its entries stand; under
// another name or a named type there is none.
TEST(ResourceSelection, TakesTypeSixteenNameOneOnly) {
    EXPECT_EQ(ProductOf(PeWith(
                  {Resource{std::uint32_t{24}, std::uint32_t{1}, 0x0409, {1, 2, 3}},
                   Resource{kIconResourceType, std::uint32_t{1}, 0x0409, Block("Icon")},
                   Resource{kVersionResourceType, std::uint32_t{2}, 0x0409, Block("Second")},
                   VersionResource(Block("Widget")),
                   Resource{std::string("CUSTOM"), std::uint32_t{1}, 0x0409, Block("Named")}},
                  false)),
              "Widget");
    EXPECT_EQ(ProductOf(PeWith(
                  {Resource{kVersionResourceType, std::uint32_t{2}, 0x0409, Block("Two")},
                   Resource{kVersionResourceType, std::string("VERSION"), 0x0409, Block("Named")},
                   Resource{std::string("16"), std::uint32_t{1}, 0x0409, Block("Named type")}})),
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

// Every damaged file, and a block damaged at every word, gives no version information or
// placeholders; never a crash, a hang or a read outside what was read (the sanitizer build
// checks the last).
TEST(DamagedFiles, GiveNoInformationOrPlaceholders) {
    for (const DamagedFile& file : DamagedFiles()) {
        const std::string product = ProductOf(file.image);
        EXPECT_EQ(product == "<none>" ? "" : product, file.product) << file.name;
    }
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

// Reads larger than a sound file needs (a hostile file's tables) are made by one look at a time,
// so that threads reading ahead through a tree of such files never hold many of them at once.
TEST(Economy, LargeReadsAreMadeByOneLookAtATime) {
    using platform::posix::FileSource;
    constexpr std::size_t kLarge = FileSource::kLargestOrdinaryRead + 1;
    TempDir dir;
    const std::string path = dir / "tables.bin";
    test_support::WriteText(path, std::string(2 * kLarge, 'x'));
    const auto read = [&path](std::size_t count) {
        FileSource other;
        std::vector<std::uint8_t> storage;
        return other.Open(path.c_str()) && other.Read(0, count, storage).has_value();
    };
    auto first = std::make_unique<FileSource>();
    std::vector<std::uint8_t> storage;
    ASSERT_TRUE(first->Open(path.c_str()));
    ASSERT_TRUE(first->Read(0, kLarge, storage));
    ASSERT_TRUE(first->Read(kLarge, kLarge, storage));  // the look's own second one goes on
    EXPECT_TRUE(std::async(std::launch::async, read, kLarge - 1).get());
    auto large = std::async(std::launch::async, read, kLarge);
    EXPECT_EQ(large.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    first.reset();
    EXPECT_TRUE(large.get());
}

}  // namespace
