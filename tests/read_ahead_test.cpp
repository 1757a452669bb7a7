// Reading ahead of the walk: forced on here, since a local disk is too quick for it to start.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fixtures/executable_writer.h"
#include "platform/posix/read_ahead.h"
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
void ReadAhead(const std::string& directory, const std::string& entries) {
    platform::posix::ReadAheadAlways(true);
    platform::posix::ReadAheadInDirectory(directory + "/", entries);
    platform::posix::WaitUntilReadAheadIdle();
}

std::string Product(const std::string& path) {
    const test_support::Block block = test_support::LoadBlock(path);
    return block ? test_support::ReadValues(block.get()).product : "<none>";
}

TEST(ReadAhead, AFileReplacedAfterItWasReadAheadIsReadAgain) {
    TempDir dir;
    ASSERT_TRUE(WriteImage(dir / "app.exe", Program("Before")));
    ASSERT_TRUE(WriteImage(dir / "kept.exe", Program("Kept")));
    ReadAhead(dir.Path(), Entry(DT_REG, "app.exe") + Entry(DT_REG, "kept.exe"));
    ASSERT_TRUE(WriteImage(dir / "app.exe", Program("After, longer")));
    EXPECT_EQ(Product(dir / "app.exe"), "After, longer");
    EXPECT_EQ(Product(dir / "kept.exe"), "Kept");
}

TEST(ReadAhead, FilesOfARemovedDirectoryAreNotListed) {
    TempDir dir;
    test_support::MakeDirectories(dir / "gone");
    ASSERT_TRUE(WriteImage(dir / "gone/app.dll", Program("Widget")));
    ReadAhead(dir / "gone", Entry(DT_REG, "app.dll"));
    ASSERT_EQ(unlink((dir / "gone/app.dll").c_str()), 0);
    ASSERT_EQ(rmdir((dir / "gone").c_str()), 0);
    EXPECT_EQ(Product(dir / "gone/app.dll"), "<none>");
}

TEST(ReadAhead, OpensOnlyRegularCandidateFiles) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe.exe").c_str(), 0644), 0);
    ASSERT_TRUE(WriteImage(dir / "readme.txt", Program("Not a candidate")));
    // Told a FIFO is a regular file, the look still finds it is not, and opens nothing.
    ReadAhead(dir.Path(),
              Entry(DT_FIFO, "pipe.exe") + Entry(DT_REG, "readme.txt") + Entry(DT_REG, "pipe.exe"));
    EXPECT_EQ(Product(dir / "pipe.exe"), "<none>");
    EXPECT_EQ(Product(dir / "readme.txt"), "Not a candidate");  // looked at in place
}

TEST(ReadAhead, ListsOnlySubdirectoriesTheWalkWillEnter) {
    TempDir dir;
    for (const char* name : {"plain", ".hidden"}) {
        test_support::MakeDirectories(dir / name);
        ASSERT_TRUE(WriteImage(dir / (std::string(name) + "/app.exe"), Program("Widget")));
    }
    ReadAhead(dir.Path(), Entry(DT_DIR, "plain") + Entry(DT_DIR, ".hidden"));
    const auto plain = platform::posix::TakeReadAheadListing(dir / "plain/");
    ASSERT_TRUE(plain.has_value());
    EXPECT_NE(plain->find("app.exe"), std::string::npos);
    EXPECT_FALSE(platform::posix::TakeReadAheadListing(dir / ".hidden/").has_value());
    // A mount, as /proc is on /, is never listed ahead: it may be a pseudo file system.
    struct stat root {};
    struct stat proc {};
    if (stat("/", &root) == 0 && stat("/proc", &proc) == 0 && root.st_dev != proc.st_dev) {
        ReadAhead("", Entry(DT_DIR, "proc"));
        EXPECT_FALSE(platform::posix::TakeReadAheadListing("/proc/").has_value());
    }
}

TEST(ReadAhead, ADirectoryChangedAfterItWasListedAheadIsListedAgain) {
    TempDir dir;
    test_support::MakeDirectories(dir / "sub");
    ASSERT_TRUE(WriteImage(dir / "sub/first.exe", Program("First")));
    ReadAhead(dir.Path(), Entry(DT_DIR, "sub"));
    ASSERT_TRUE(WriteImage(dir / "sub/second.exe", Program("Second")));
    std::string names;
    WIN32_FIND_DATAA record{};
    HANDLE listing = FindFirstFileA((dir / "sub/*.*").c_str(), &record);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);
    do {
        names += std::string(record.cFileName) + " ";
    } while (FindNextFileA(listing, &record));
    FindClose(listing);
    EXPECT_NE(names.find("second.exe"), std::string::npos) << names;
}

}  // namespace
