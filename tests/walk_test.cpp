// The walk, on trees made here, with a per-file step that records what it is handed.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/fuse_mount.h"
#include "support/test_support.h"
#include "version/version_info.h"
#include "walk/read_failures.h"
#include "walk/walk.h"

namespace {

std::vector<std::string> handedOn;
std::function<void()> duringExamination;

}  // namespace

void ExamineFile(std::string& path, const WIN32_FIND_DATAA& record) {
    EXPECT_EQ(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u) << path;
    EXPECT_EQ(path.substr(path.size() - std::string(record.cFileName).size()), record.cFileName);
    handedOn.push_back(path);
    if (duringExamination) {
        duringExamination();
    }
}

namespace {

using test_support::MakeDirectories;
using test_support::TempDir;
using test_support::WriteText;

std::vector<std::string> Walk(const std::string& directory) {
    handedOn.clear();
    std::string pattern = directory + "/*.*";
    ScanDirectory(pattern);
    return handedOn;
}

// What a depth-first walk in the order readdir lists must hand on: the oracle, written without
// the platform layer.
void ExpectedWalk(const std::string& directory, std::vector<std::string>& files) {
    for (const std::string& name : test_support::NamesInListingOrder(directory)) {
        const std::string path = directory + "/" + name;
        struct stat status {};
        if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            if (name[0] != '.') {
                ExpectedWalk(path, files);
            }
        } else {
            files.push_back(path);
        }
    }
}

void Touch(const std::string& path) {
    WriteText(path, "x");
}

// Depth first in listing order, each subtree where its directory is listed; directories whose
// names begin with a dot are not entered, files whose names do are handed on.
TEST(Walk, VisitsEachSubtreeWhereItsDirectoryIsListedAndNoDotDirectory) {
    TempDir tree;
    MakeDirectories(tree / "top/one/deeper");
    MakeDirectories(tree / "top/two");
    MakeDirectories(tree / "top/.git/objects");
    for (const char* file :
         {"top/a.exe", "top/.tool.exe", "top/one/b.exe", "top/one/c", "top/one/deeper/d.ocx",
          "top/two/e.exe", "top/two/f.txt", "top/.git/objects/blob.dll"}) {
        Touch(tree / file);
    }
    std::vector<std::string> expected;
    ExpectedWalk(tree / "top", expected);
    ASSERT_EQ(expected.size(), 7u);
    EXPECT_EQ(Walk(tree / "top"), expected);
}

// Every entry, the first listed among them, by the names as listed (letter case and wildcard
// characters kept); nothing from a directory that is empty, absent or a file.
TEST(Walk, HandsOnEveryEntryAsNamedAndNothingElse) {
    TempDir tree;
    MakeDirectories(tree / "Top/a*b");
    MakeDirectories(tree / "Top/axxb");
    MakeDirectories(tree / "empty");
    std::vector<std::string> expected;
    for (int index = 0; index < 40; ++index) {
        expected.push_back(tree / ("Top/a*b/F" + std::to_string(index) + ".EXE"));
        Touch(expected.back());
    }
    Touch(tree / "Top/axxb/other.exe");
    std::vector<std::string> found = Walk(tree / "Top/a*b");
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(Walk(tree / "empty").empty());
    EXPECT_TRUE(Walk(tree / "absent").empty());
    EXPECT_TRUE(Walk(tree / "Top/axxb/other.exe").empty());
    // An entry of no known kind that is gone when its kind is looked at is not handed on.
    MakeDirectories(tree / "share");
    const test_support::FuseMount share({"--vanish", "F7.EXE"}, tree / "Top/a*b", tree / "share");
    if (share.Refusal().empty()) {
        found = Walk(tree / "share");
        EXPECT_EQ(found.size(), 39u);
        EXPECT_EQ(std::count(found.begin(), found.end(), tree / "share/F7.EXE"), 0);
    }
}

TEST(Walk, EntersLinksWithinTheTreeNotOutOfItAndHandsOnBrokenLinksAsFiles) {
    TempDir tree;
    MakeDirectories(tree / "top/.store/data");
    MakeDirectories(tree / "elsewhere");
    Touch(tree / "top/.store/data/inside.exe");
    Touch(tree / "elsewhere/outside.exe");
    ASSERT_EQ(symlink(".store/data", (tree / "top/link").c_str()), 0);
    ASSERT_EQ(symlink((tree / "elsewhere").c_str(), (tree / "top/out").c_str()), 0);
    ASSERT_EQ(symlink("../top/../elsewhere", (tree / "top/sneaky").c_str()), 0);
    ASSERT_EQ(symlink((tree / "nowhere").c_str(), (tree / "top/broken.exe").c_str()), 0);
    std::vector<std::string> found = Walk(tree / "top");
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found,
              (std::vector<std::string>{tree / "top/broken.exe", tree / "top/link/inside.exe"}));
    // The directory argument itself may be a link, and is followed.
    EXPECT_EQ(Walk(tree / "top/link"), std::vector<std::string>{tree / "top/link/inside.exe"});
}

TEST(Walk, NeverEntersThePseudoFileSystems) {
    for (const char* pseudo : {"/proc", "/sys"}) {
        struct stat status {};
        if (stat(pseudo, &status) == 0) {
            EXPECT_TRUE(Walk(pseudo).empty()) << pseudo;
        }
    }
}

TEST(Walk, EntersADirectoryOnceUnderTheFirstPathThatLeadsToIt) {
    TempDir tree;
    MakeDirectories(tree / "top/shared");
    Touch(tree / "top/shared/s.exe");
    ASSERT_EQ(symlink("shared", (tree / "top/alias").c_str()), 0);
    ASSERT_EQ(symlink("shared", (tree / "top/other-alias").c_str()), 0);
    std::vector<std::string> names;  // the order in which the directory lists them
    ExpectedWalk(tree / "top", names);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(Walk(tree / "top"), std::vector<std::string>{names.front()});
}

TEST(Walk, GoesOnWhenFilesVanishAfterTheDirectoryWasListed) {
    TempDir tree;
    MakeDirectories(tree / "top");
    for (int index = 0; index < 10; ++index) {
        Touch(tree / ("top/f" + std::to_string(index)));
    }
    duringExamination = [&] {
        for (int index = 0; index < 10; ++index) {
            unlink((tree / ("top/f" + std::to_string(index))).c_str());
        }
    };
    std::vector<std::string> found = Walk(tree / "top");
    duringExamination = nullptr;
    // The names were listed before the files went; the per-file step finds them gone.
    std::sort(found.begin(), found.end());
    std::vector<std::string> expected;
    for (int index = 0; index < 10; ++index) {
        expected.push_back(tree / ("top/f" + std::to_string(index)));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
}

// A name that has gone or is no directory, and a candidate that is gone, is not a regular file or
// holds no version information, leave no listing incomplete; a directory or a candidate that may
// not be read does.
TEST(ReadFailures, OnlyWhatCouldNotBeReadIsAFailure) {
    TempDir tree;
    MakeDirectories(tree / "closed");
    Touch(tree / "plain.exe");
    Touch(tree / "locked.exe");
    ASSERT_EQ(mkfifo((tree / "pipe.dll").c_str(), 0644), 0);
    ASSERT_EQ(chmod((tree / "closed").c_str(), 0), 0);
    ASSERT_EQ(chmod((tree / "locked.exe").c_str(), 0), 0);
    const std::string counted = test_support::RunUnprivileged([&] {
        std::string found;
        WIN32_FIND_DATAA record{};
        for (const char* directory : {"gone", "plain.exe", "closed"}) {
            platform::DirectoryIdentity identity;
            const std::string path = tree / directory;
            if (!platform::GetDirectoryIdentity((path + "/").c_str(), identity) &&
                ListingFailureCounts(GetLastError())) {
                found += std::string(directory) + " ";
            }
            if (FindFirstFileA((path + "/*.*").c_str(), &record) == INVALID_HANDLE_VALUE &&
                ListingFailureCounts(GetLastError())) {
                found += std::string(directory) + "/*.* ";
            }
        }
        for (const char* file : {"gone.exe", "plain.exe", "pipe.dll", "locked.exe"}) {
            if (LoadVersionBlock((tree / file).c_str()) == nullptr &&
                FileFailureCounts(GetLastError())) {
                found += std::string(file) + " ";
            }
        }
        return found;
    });
    EXPECT_EQ(counted, "closed/*.* locked.exe ");
}

TEST(FindFiles, ClosesWhatItOpenedAndRefusesWhatItDidNot) {
    TempDir tree;
    Touch(tree / "only");
    WIN32_FIND_DATAA record{};
    HANDLE handle = FindFirstFileA((tree.Path() + "/*.*").c_str(), &record);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(FindClose(handle));
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(FindClose(nullptr));
    EXPECT_FALSE(FindNextFileA(INVALID_HANDLE_VALUE, &record));
    EXPECT_EQ(FindFirstFileA((tree.Path() + "/*.exe").c_str(), &record), INVALID_HANDLE_VALUE);
}

// Directories are known by identity; the one identity that looks like a free slot of the table is
// entered once too.
TEST(VisitedDirectories, EnterEachIdentityOnce) {
    VisitedDirectories entered;
    for (const std::uint64_t index : {std::uint64_t{7}, ~std::uint64_t{0}}) {
        EXPECT_TRUE(entered.Insert({~std::uint64_t{0}, index}));
        EXPECT_FALSE(entered.Insert({~std::uint64_t{0}, index}));
    }
    EXPECT_EQ(entered.Count(), 2u);
}

}  // namespace
