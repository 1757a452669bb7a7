// Trees that a careless or hostile disk can hold. Every run must end with exit code 0 and list
// exactly the files that carry readable version information, and nothing may block it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fixtures/executable_writer.h"
#include "support/test_support.h"

namespace {

using namespace fixture;
using test_support::MakeDirectories;
using test_support::ReadFile;
using test_support::RunQuillet;
using test_support::TempDir;

// The path field of every line, in order.
std::vector<std::string> ListedPaths(const std::string& listing) {
    std::vector<std::string> paths;
    for (std::size_t start = 0; start < listing.size();) {
        const std::size_t end = listing.find("\r\n", start);
        const std::string line = listing.substr(start, end - start);
        paths.push_back(line.substr(line.rfind('\t') + 1));
        start = end == std::string::npos ? listing.size() : end + 2;
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

ImageFile Widget(bool pe32Plus = false) {
    return PeWithVersion(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo("Widget", "Acme"))),
                         pe32Plus);
}

class HostileTree : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeDirectories(tree / "top");
        MakeDirectories(out / "listing");
        chmod((out / "listing").c_str(), 0777);
    }

    void Write(const std::string& relative, const ImageFile& image) {
        ASSERT_TRUE(WriteImage(tree / ("top/" + relative), image)) << relative;
    }

    // Runs quillet over the tree and returns the listed paths, relative to the tree.
    std::vector<std::string> Run(bool unprivileged = false) {
        const auto run = RunQuillet({tree / "top", out / "listing/list.txt"}, "", unprivileged);
        EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
        EXPECT_EQ(run.errors, "");
        EXPECT_EQ(run.output.substr(run.output.size() - 4), "\nOk\n");
        std::vector<std::string> paths = ListedPaths(ReadFile(out / "listing/list.txt"));
        for (std::string& path : paths) {
            path = path.substr(tree.Path().size() + std::strlen("/top/"));
        }
        return paths;
    }

    TempDir tree;
    TempDir out;
};

TEST_F(HostileTree, SpecialFilesNamedLikeProgramsAreNeitherOpenedNorListed) {
    Write("real.exe", Widget());
    ASSERT_EQ(mkfifo((tree / "top/pipe.exe").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", (tree / "top/zero.dll").c_str()), 0);
    ASSERT_EQ(symlink("/dev/tty", (tree / "top/tty.ocx").c_str()), 0);
    const std::string socketPath = tree / "top/socket.exe";
    const int server = test_support::BindSocket(socketPath);
    ASSERT_GE(server, 0);
    EXPECT_EQ(Run(), std::vector<std::string>{"real.exe"});
    close(server);
}

TEST_F(HostileTree, LinkLoopsAndLinksToAncestorsAreWalkedOnce) {
    MakeDirectories(tree / "top/a/b");
    Write("a/b/deep.dll", Widget());
    ASSERT_EQ(symlink("../..", (tree / "top/a/b/up").c_str()), 0);
    ASSERT_EQ(symlink((tree / "top").c_str(), (tree / "top/a/root").c_str()), 0);
    ASSERT_EQ(symlink("x.exe", (tree / "top/y.exe").c_str()), 0);
    ASSERT_EQ(symlink("y.exe", (tree / "top/x.exe").c_str()), 0);
    EXPECT_EQ(Run(), std::vector<std::string>{"a/b/deep.dll"});
}

TEST_F(HostileTree, DirectoriesWithoutReadOrExecutePermissionArePassedOver) {
    MakeDirectories(tree / "top/noread");
    MakeDirectories(tree / "top/noexec");
    MakeDirectories(tree / "top/open");
    Write("noread/a.exe", Widget());
    Write("noexec/b.exe", Widget());
    Write("open/c.exe", Widget());
    Write("unreadable.exe", Widget());
    ASSERT_EQ(chmod((tree / "top/noread").c_str(), 0311), 0);
    ASSERT_EQ(chmod((tree / "top/noexec").c_str(), 0644), 0);
    ASSERT_EQ(chmod((tree / "top/unreadable.exe").c_str(), 0), 0);
    EXPECT_EQ(Run(true), std::vector<std::string>{"open/c.exe"});
}

TEST_F(HostileTree, FilesDamagedAnywhereAreNotListed) {
    const ImageFile whole = Widget();
    Write("whole.exe", whole);
    for (const auto& [name, size] : std::vector<std::pair<std::string, std::uint64_t>>{
             {"headers.exe", whole.layout.newHeader + 10},
             {"sections.exe", whole.layout.sectionTable + 50},
             {"directory.exe", whole.layout.resourceSection + 30},
             {"block.exe", whole.layout.resourceData.at(0) + 40}}) {
        Write(name, Truncated(whole, size));
    }
    ImageFile farAway = whole;
    std::uint32_t pointer = 0xFFFFFFF0u;
    std::memcpy(farAway.bytes.data() + 0x3C, &pointer, sizeof pointer);
    Write("new-header-past-end.exe", farAway);
    EXPECT_EQ(Run(), std::vector<std::string>{"whole.exe"});
}

TEST_F(HostileTree, AFourGibibyteFileWithItsResourceAtTheEndIsListed) {
    PeOptions options;
    options.pe32Plus = true;
    options.machine = Machine::Amd64;
    options.resources = {
        VersionResource(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo("Large", "Acme"))))};
    // Raw data offsets are 32-bit: the last place a section can start is just under 4 GiB.
    options.resourceSectionOffset =
        (std::uint64_t{4} << 30) - 0x10000;  // sparse: written as a hole
    Write("large.dll", BuildPe(options));
    EXPECT_EQ(Run(), std::vector<std::string>{"large.dll"});
}

TEST_F(HostileTree, OddNamesAreListedOneLineEach) {
    const std::vector<std::string> names = {"caf\xC3\xA9 \x80\xFF.exe", "two  blanks .dll",
                                            "tab\there.ocx", "line\nfeed.exe", " leading.exe"};
    for (const std::string& name : names) {
        Write(name, Widget());
    }
    std::vector<std::string> expected;
    for (std::string name : names) {
        std::replace_if(
            name.begin(), name.end(), [](char c) { return c == '\t' || c == '\n'; }, ' ');
        expected.push_back(name);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Run(), expected);
}

}  // namespace
