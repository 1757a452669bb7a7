// Reading ahead of the walk: forced on here, since a local disk is too quick for it to start.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

#include "fixtures/executable_writer.h"
#include "platform/posix/read_ahead.h"
#include "platform/posix/version_resources/file_source.h"
#include "support/test_support.h"
#include "support/version_block.h"

namespace {

using namespace fixture;
using test_support::TempDir;

ImageFile Program(const std::string& product) {
    return PeWithVersion(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo(product, "Acme"))));
}

// The entries of a directory as the listing hands them over: kind, name, NUL.
std::string Entry(unsigned char kind, const std::string& name) {
    return std::string(1, static_cast<char>(kind)) + name + '\0';
}

// Hands the directory's entries to the read-ahead and waits until its threads have read them.
void ReadAheadIn(const std::string& directory, const std::string& entries) {
    platform::posix::ReadAheadAlways(true);
    platform::posix::ReadAheadInDirectory(directory + "/", std::nullopt, entries);
    platform::posix::WaitUntilReadAheadIdle();
}

std::string Product(const std::string& path) {
    const test_support::Block block = test_support::LoadBlock(path);
    return block ? test_support::ReadValues(block.get()).product : "<none>";
}

// Each test a run of its own: directories of earlier tests are gone, their inodes free to reuse.
class ReadAhead : public ::testing::Test {
  protected:
    void SetUp() override { platform::posix::ForgetReadAhead(); }
};

TEST_F(ReadAhead, AFileReplacedAfterItWasReadAheadIsReadAgain) {
    TempDir dir;
    ASSERT_TRUE(WriteImage(dir / "app.exe", Program("Before")));
    ASSERT_TRUE(WriteImage(dir / "kept.exe", Program("Kept")));
    ReadAheadIn(dir.Path(), Entry(DT_REG, "app.exe") + Entry(DT_REG, "kept.exe"));
    ASSERT_TRUE(WriteImage(dir / "app.exe", Program("After, longer")));
    EXPECT_EQ(Product(dir / "app.exe"), "After, longer");
    EXPECT_EQ(Product(dir / "kept.exe"), "Kept");
}

TEST_F(ReadAhead, FilesOfARemovedDirectoryAreNotListed) {
    TempDir dir;
    test_support::MakeDirectories(dir / "gone");
    ASSERT_TRUE(WriteImage(dir / "gone/app.dll", Program("Widget")));
    ReadAheadIn(dir / "gone", Entry(DT_REG, "app.dll"));
    ASSERT_EQ(unlink((dir / "gone/app.dll").c_str()), 0);
    ASSERT_EQ(rmdir((dir / "gone").c_str()), 0);
    EXPECT_EQ(Product(dir / "gone/app.dll"), "<none>");
}

TEST_F(ReadAhead, OpensOnlyRegularCandidateFiles) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe.exe").c_str(), 0644), 0);
    ASSERT_TRUE(WriteImage(dir / "readme.txt", Program("Not a candidate")));
    // Told a FIFO is a regular file, the look still finds it is not, and opens nothing.
    ReadAheadIn(dir.Path(), Entry(DT_FIFO, "pipe.exe") + Entry(DT_REG, "readme.txt") +
                                Entry(DT_REG, "pipe.exe"));
    EXPECT_EQ(Product(dir / "pipe.exe"), "<none>");
    EXPECT_EQ(Product(dir / "readme.txt"), "Not a candidate");  // looked at in place
}

TEST_F(ReadAhead, ListsOnlySubdirectoriesTheWalkWillEnter) {
    TempDir dir;
    for (const char* name : {"plain", ".hidden"}) {
        test_support::MakeDirectories(dir / name);
        ASSERT_TRUE(WriteImage(dir / (std::string(name) + "/app.exe"), Program("Widget")));
    }
    ReadAheadIn(dir.Path(), Entry(DT_DIR, "plain") + Entry(DT_DIR, ".hidden"));
    const auto plain = platform::posix::TakeReadAheadListing(dir / "plain/", std::nullopt);
    ASSERT_TRUE(plain.has_value());
    EXPECT_NE(plain->find("app.exe"), std::string::npos);
    EXPECT_FALSE(platform::posix::TakeReadAheadListing(dir / ".hidden/", std::nullopt).has_value());
    // A mount, as /proc is on /, is never listed ahead: it may be a pseudo file system.
    struct stat root {};
    struct stat proc {};
    if (stat("/", &root) == 0 && stat("/proc", &proc) == 0 && root.st_dev != proc.st_dev) {
        ReadAheadIn("", Entry(DT_DIR, "proc"));
        EXPECT_FALSE(platform::posix::TakeReadAheadListing("/proc/", std::nullopt).has_value());
    }
}

std::string NamesListed(const std::string& directory) {
    std::string names;
    WIN32_FIND_DATAA record{};
    HANDLE listing = FindFirstFileA((directory + "*.*").c_str(), &record);
    if (listing == INVALID_HANDLE_VALUE) {
        return "<none>";
    }
    do {
        names += std::string(record.cFileName) + " ";
    } while (FindNextFileA(listing, &record));
    FindClose(listing);
    return names;
}

TEST_F(ReadAhead, ADirectoryChangedAfterItWasListedAheadIsListedAgain) {
    TempDir dir;
    for (const char* name : {"looked", "noted"}) {
        const std::string sub = dir / (std::string(name) + "/");
        test_support::MakeDirectories(sub);
        ASSERT_TRUE(WriteImage(sub + "first.exe", Program("First")));
        ReadAheadIn(dir.Path(), Entry(DT_DIR, name));
        ASSERT_TRUE(WriteImage(sub + "second.exe", Program("Second")));
        if (std::string(name) == "noted") {
            // As the walk does: its look at the directory, taken by the listing that follows.
            platform::DirectoryIdentity identity;
            ASSERT_TRUE(platform::GetDirectoryIdentity(sub.c_str(), identity));
        }
        EXPECT_NE(NamesListed(sub).find("second.exe"), std::string::npos) << name;
    }
}

TEST_F(ReadAhead, ReadsAheadIntoSubdirectoriesButListsEachDirectoryOnce) {
    TempDir dir;
    test_support::MakeDirectories(dir / "outer/inner");
    ASSERT_TRUE(WriteImage(dir / "outer/inner/app.exe", Program("Deep")));
    ReadAheadIn(dir.Path(), Entry(DT_DIR, "outer"));
    EXPECT_TRUE(platform::posix::TakeReadAheadListing(dir / "outer/inner/", std::nullopt));
    const auto deep = platform::posix::TakeReadAhead((dir / "outer/inner/app.exe").c_str());
    ASSERT_TRUE(deep.has_value());
    EXPECT_TRUE(deep->opened);

    // The walk lists a directory through a link first; met later under its own name, it is
    // not listed again, since the walk will not enter it again.
    test_support::MakeDirectories(dir / "real");
    ASSERT_EQ(symlink("real", (dir / "link").c_str()), 0);
    struct stat target {};
    ASSERT_EQ(stat((dir / "link").c_str(), &target), 0);
    platform::posix::ReadAheadInDirectory(dir / "link/", target, "");
    ReadAheadIn(dir.Path(), Entry(DT_DIR, "real"));
    EXPECT_FALSE(platform::posix::TakeReadAheadListing(dir / "real/", std::nullopt));
}

TEST_F(ReadAhead, AFileThatAppearsAfterItWasMissedIsLookedAtNow) {
    TempDir dir;
    ReadAheadIn(dir.Path(), Entry(DT_REG, "late.exe"));
    ASSERT_TRUE(WriteImage(dir / "late.exe", Program("Late")));
    EXPECT_EQ(Product(dir / "late.exe"), "Late");
}

// Results for paths the walk never asks for (its directory changed, say) must not hold the room
// for good: the read-ahead would stop for the rest of the run.
TEST_F(ReadAhead, ResultsNeverTakenStopHoldingRoom) {
    TempDir dir;
    const ImageFile program = Program("Many");
    std::string entries;
    constexpr int kFiles = 300;  // more results than are kept at once
    for (int index = 0; index < kFiles; ++index) {
        const std::string name = "app" + std::to_string(index) + ".exe";
        ASSERT_TRUE(WriteImage(dir / name, program));
        entries += Entry(DT_REG, name);
    }
    ReadAheadIn(dir.Path(), entries);
    const std::string last = dir / ("app" + std::to_string(kFiles - 1) + ".exe");
    for (int ask = 0; ask < 10000; ++ask) {
        platform::posix::TakeReadAhead((dir / "never.exe").c_str());
    }
    platform::posix::WaitUntilReadAheadIdle();
    EXPECT_TRUE(platform::posix::TakeReadAhead(last.c_str()).has_value());
}

}  // namespace

// Reads larger than a sound file needs (a hostile file's tables) are made by one look at a time,
// so that threads reading ahead through a tree of such files never hold many of them at once.
TEST_F(ReadAhead, LargeReadsAreMadeByOneLookAtATime) {
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
