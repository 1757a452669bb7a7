// Reading ahead of the walk: forced on here, since a local disk is too quick for it to start.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

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

// Hands the directory's entries to the read-ahead and gives its threads time to look at them.
void ReadAhead(const std::string& directory, const std::string& entries) {
    platform::posix::ReadAheadAlways(true);
    platform::posix::ReadAheadInDirectory(directory + "/", entries);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
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

}  // namespace
