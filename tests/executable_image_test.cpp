// Finding the version resource in PE and NE files, and surviving damaged ones.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>

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

// Every damaged variant gives "no version information" or placeholders; never a crash, a hang or a
// read outside what was read (the sanitizer build checks the last).
TEST(DamagedFiles, TruncatedAnywhereGiveNoInformation) {
    const ImageFile whole = PeWithVersion(Block("Widget"));
    const std::uint64_t data = whole.layout.resourceData.at(0);
    for (std::uint64_t size :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{0x3C}, whole.layout.newHeader + 2,
          whole.layout.newHeader + 30, whole.layout.sectionTable + 20,
          whole.layout.sectionTable + 60, whole.layout.resourceSection + 10,
          whole.layout.resourceSection + 40, data - 4, data + 10}) {
        EXPECT_EQ(ProductOf(Truncated(whole, size)), "<none>") << size;
    }
    const ImageFile ne =
        NeWithVersion(EncodeNarrowBlock(MakeVersionTree(SimpleVersionInfo("Widget", "Acme"))));
    for (std::uint64_t size : {ne.layout.newHeader + 10, ne.layout.neResourceTable + 6,
                               ne.layout.resourceData.at(0) + 20}) {
        EXPECT_EQ(ProductOf(Truncated(ne, size)), "<none>") << size;
    }
}

TEST(DamagedFiles, HeaderPointersPastTheEndGiveNoInformation) {
    const ImageFile whole = PeWithVersion(Block("Widget"));
    const auto cases = std::vector<std::function<void(Bytes&, const ImageLayout&)>>{
        [](Bytes& b, const ImageLayout&) { Patch32(b, 0x3C, 0xFFFFFFF0u); },
        [](Bytes& b, const ImageLayout&) {
            Patch32(b, 0x3C, static_cast<std::uint32_t>(b.size() - 2));
        },
        [](Bytes& b, const ImageLayout& l) {
            Patch16(b, l.newHeader + 4 + 16, 0xFFFF);
        },  // optional header size
        [](Bytes& b, const ImageLayout& l) { Patch16(b, l.newHeader + 4 + 16, 40); },
        [](Bytes& b, const ImageLayout& l) {
            Patch16(b, l.newHeader + 4 + 2, 0xFFFF);
        },  // section count
        [](Bytes& b, const ImageLayout& l) {
            Patch16(b, l.newHeader + 24, 0x107);
        },  // unknown magic
        [](Bytes& b, const ImageLayout& l) { Patch32(b, l.resourceDirectoryEntry, 0xFFFFF000u); },
        [](Bytes& b, const ImageLayout& l) { Patch32(b, l.resourceDirectoryEntry + 4, 0); },
        [](Bytes& b, const ImageLayout& l) {
            Patch32(b, l.resourceDirectoryEntry - 20, 2);
        },  // two directories
        [](Bytes& b, const ImageLayout& l) {
            Patch32(b, l.sectionTable + 40 + 20, 0xFFFFFF00u);
        },  // raw offset
        [](Bytes& b, const ImageLayout& l) {
            Patch32(b, l.sectionTable + 40 + 12, 0x10000);
        },  // no section holds it
    };
    for (std::size_t index = 0; index < cases.size(); ++index) {
        EXPECT_EQ(ProductOf(Damaged(whole, cases[index])), "<none>") << index;
    }
}

TEST(DamagedFiles, ResourceDirectoriesThatLoopOrOverflowGiveNoInformation) {
    const ImageFile whole = PeWithVersion(Block("Widget"));
    const std::uint64_t root = whole.layout.resourceSection;
    const auto cases = std::vector<std::function<void(Bytes&, const ImageLayout&)>>{
        // The type entry leads back to the root, and the root's name entry to itself.
        [&](Bytes& b, const ImageLayout&) { Patch32(b, root + 16 + 4, 0x80000000u); },
        [&](Bytes& b, const ImageLayout&) { Patch32(b, root + 16 + 4, 0x80000000u | 0x7FFFFFF0u); },
        // Counts far beyond the file, with no entry that matches: the search ends at the file's
        // end.
        [&](Bytes& b, const ImageLayout&) {
            Patch16(b, root + 14, 0xFFFF);
            Patch32(b, root + 16, 17);
        },
        [&](Bytes& b, const ImageLayout&) {
            Patch16(b, root + 12, 0xFFFF);
            Patch16(b, root + 14, 0xFFFF);
            Patch32(b, root + 16, 0x80000000u);
        },
        // The version's data entry made a subdirectory, and its data put outside every section.
        [&](Bytes& b, const ImageLayout&) {
            Patch32(b, root + 16 + 16 + 8 + 16 + 8 + 4, 0x80000000u);
        },
        [&](Bytes& b, const ImageLayout& l) { Patch32(b, l.resourceData.at(0) - 16 - 0, 0); },
    };
    for (std::size_t index = 0; index < cases.size(); ++index) {
        EXPECT_EQ(ProductOf(Damaged(whole, cases[index])), "<none>") << index;
    }
}

TEST(DamagedFiles, DataEntryPointingOutsideGivesNoInformation) {
    ImageFile whole = PeWithVersion(Block("Widget"));
    // The data entry sits just before the data (the writer's layout): its RVA, then its size.
    const std::uint64_t entry = whole.layout.resourceData.at(0) - 16;
    for (std::uint32_t rva : {0u, 0x1FFFu, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        ImageFile image = whole;
        Patch32(image.bytes, entry, rva);
        EXPECT_EQ(ProductOf(image), "<none>") << rva;
    }
    // A size beyond the end of the file: only what the section holds is read, and the block's own
    // length bounds it.
    ImageFile huge = whole;
    Patch32(huge.bytes, entry + 4, 0xFFFFFFFFu);
    EXPECT_EQ(ProductOf(huge), "Widget");
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
    EXPECT_EQ(damage(0, 0).version, "<none>");  // root length 0
    EXPECT_EQ(damage(0, 3).version, "<none>");  // shorter than a header
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

TEST(DamagedFiles, NeResourceTablesThatLieGiveNoInformation) {
    const ImageFile ne =
        NeWithVersion(EncodeNarrowBlock(MakeVersionTree(SimpleVersionInfo("Widget", "Acme"))));
    const std::uint64_t table = ne.layout.neResourceTable;
    const auto cases = std::vector<std::function<void(Bytes&, const ImageLayout&)>>{
        [&](Bytes& b, const ImageLayout&) { Patch16(b, table, 40); },  // shift
        [&](Bytes& b, const ImageLayout&) {  // a count beyond the table, and no version name in it
            Patch16(b, table + 4, 0xFFFF);
            Patch16(b, table + 16, 0x8002);
        },
        [&](Bytes& b, const ImageLayout&) {
            Patch16(b, table + 10, 0xFFFF);
        },                                                                 // offset past the end
        [&](Bytes& b, const ImageLayout&) { Patch16(b, table + 12, 0); },  // length 0
        [&](Bytes& b, const ImageLayout& l) {
            Patch16(b, l.newHeader + 0x26, 0);
        },  // table ends first
        [&](Bytes& b, const ImageLayout& l) { Patch16(b, l.newHeader + 0x24, 0xFFF0); },
    };
    for (std::size_t index = 0; index < cases.size(); ++index) {
        EXPECT_EQ(ProductOf(Damaged(ne, cases[index])), "<none>") << index;
    }
}

TEST(SpecialFiles, AreReportedWithoutVersionInformationAtOnce) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe.exe").c_str(), 0644), 0);
    const int writer =
        open((dir / "pipe.exe").c_str(), O_RDWR | O_NONBLOCK);  // a writer that never writes
    ASSERT_GE(writer, 0);
    EXPECT_EQ(LoadVersionBlock((dir / "pipe.exe").c_str()), nullptr);
    close(writer);
    EXPECT_EQ(LoadVersionBlock((dir / "pipe.exe").c_str()), nullptr);  // and with no writer at all

    const std::string socketPath = dir / "socket.dll";
    const int server = test_support::BindSocket(socketPath);
    ASSERT_GE(server, 0);
    EXPECT_EQ(LoadVersionBlock(socketPath.c_str()), nullptr);
    close(server);

    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.exe").c_str()), 0);
    EXPECT_EQ(LoadVersionBlock((dir / "zero.exe").c_str()), nullptr);
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
    unsigned char* block = LoadVersionBlock((dir / "large.exe").c_str());
    const std::uint64_t read = BytesReadSoFar() - before;
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(ReadValues(block).product, "Widget");
    ReleaseVersionBlock(block);
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

}  // namespace
