// Reading ahead of the walk, watched from outside: inotify tells which files and directories were
// opened, when and in what order, so that each test sees the read-ahead at work before the walk
// asks for anything, and would fail with no threads to read ahead.

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fixtures/executable_writer.h"
#include "platform/platform.h"
#include "read_ahead/queue.h"
#include "support/test_support.h"
#include "support/tree_watch.h"
#include "support/version_block.h"
#include "walk/walk_rules.h"

namespace {

using namespace fixture;
using read_ahead::Queue;
using test_support::MakeDirectories;
using test_support::Sorted;
using test_support::TempDir;
using test_support::TreeWatch;

ImageFile Program(const std::string& product) {
    return PeWithVersion(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo(product, "Acme"))));
}

// A walk as far as its top's listing: the read-ahead, with this many threads, then has what the
// walk will read below the top queued, and nothing yet asked for.
class WalkStarted {
  public:
    WalkStarted(const std::string& top, std::size_t threads,
                const platform::WalkRules& rules = kWalkRules)
        : queue(std::make_unique<Queue>(rules, threads)) {
        queue->Entering(top + "/", 0, std::nullopt);
        WIN32_FIND_DATAA record{};
        listing = FindFirstFileA((top + "/*.*").c_str(), &record);
    }
    ~WalkStarted() { End(); }
    // Joins the threads: nothing is read ahead after this.
    void End() {
        if (listing != INVALID_HANDLE_VALUE) {
            FindClose(listing);
            listing = INVALID_HANDLE_VALUE;
        }
        queue.reset();
    }

  private:
    std::unique_ptr<Queue> queue;
    HANDLE listing = INVALID_HANDLE_VALUE;
};

std::string ProductAsTheWalkAsks(const std::string& path) {
    const test_support::Block block = test_support::LoadBlock(path);
    return block ? test_support::ReadValues(block.get()).product : "<none>";
}

// Below the directory the walk lists, the threads list what the walk will enter and look at
// what it will examine, each once, before the walk asks: the candidates, not other files, not
// what lies in a dot directory, not what a link leads to, and no FIFO.
TEST(ReadAhead, ReadsAheadExactlyWhatTheWalkWillRead) {
    TempDir tree;
    const std::string top = tree / "top";
    MakeDirectories(top + "/sub/deeper");
    MakeDirectories(top + "/.hidden");
    for (const char* name : {"app.exe", "readme.txt", ".hidden/h.exe", "sub/s.dll",
                             "sub/deeper/d.ocx", "sub/deeper/notes"}) {
        ASSERT_TRUE(WriteImage(top + "/" + name, Program("Widget")));
    }
    ASSERT_EQ(mkfifo((top + "/pipe.exe").c_str(), 0644), 0);
    ASSERT_EQ(symlink("sub", (top + "/link").c_str()), 0);
    TreeWatch watch(top);
    WalkStarted walk(top, 2);
    for (const char* name : {"app.exe", "sub/s.dll", "sub/deeper/d.ocx"}) {
        EXPECT_TRUE(watch.WaitUntilRead(top + "/" + name)) << name << " was not read ahead";
    }
    walk.End();
    EXPECT_EQ(Sorted(watch.FilesOpened()),
              Sorted({top + "/app.exe", top + "/sub/s.dll", top + "/sub/deeper/d.ocx"}));
    EXPECT_EQ(Sorted(watch.DirectoriesOpened()), Sorted({top, top + "/sub", top + "/sub/deeper"}));
}

// The rules the walk hands over are the ones applied: with rules that also enter dot
// directories, the read-ahead reads what lies in them.
TEST(ReadAhead, FollowsTheRulesItIsHanded) {
    TempDir tree;
    const std::string top = tree / "top";
    MakeDirectories(top + "/.hidden");
    ASSERT_TRUE(WriteImage(top + "/.hidden/h.exe", Program("Widget")));
    const platform::WalkRules enterEverything{[](const platform::WalkEntry& entry) {
                                                  return entry.kind == platform::EntryKind::File
                                                             ? platform::WalkStep::Examine
                                                         : entry.name == "." || entry.name == ".."
                                                             ? platform::WalkStep::PassOver
                                                             : platform::WalkStep::Enter;
                                              },
                                              MayEnterVolume};
    TreeWatch watch(top);
    WalkStarted walk(top, 1, enterEverything);
    EXPECT_TRUE(watch.WaitUntilRead(top + "/.hidden/h.exe"));
}

// Jobs are begun in the order the walk will want them, however deep: a chain of 40 levels, then
// two branches of 20 levels each; one thread reads one branch whole before the other.
TEST(ReadAhead, ReadsInTheWalksOrderAtAnyDepth) {
    TempDir tree;
    const std::string top = tree / "top";
    std::string chain = top;
    for (int level = 0; level < 40; ++level) {
        chain += "/c";
    }
    std::vector<std::string> branches[2];
    for (int branch = 0; branch < 2; ++branch) {
        std::string path = chain + "/" + std::string(1, static_cast<char>('p' + branch));
        for (int level = 0; level < 20; ++level) {
            MakeDirectories(path);
            branches[branch].push_back(path + "/f.exe");
            ASSERT_TRUE(WriteImage(branches[branch].back(), Program("Widget")));
            path += "/d";
        }
    }
    // The walk meets the branches in the order their directory lists them.
    std::vector<std::string> expected;
    for (const std::string& name : test_support::NamesInListingOrder(chain)) {
        const auto& branch = branches[name[0] - 'p'];
        expected.insert(expected.end(), branch.begin(), branch.end());
    }
    TreeWatch watch(top);
    WalkStarted walk(top, 1);
    ASSERT_TRUE(watch.WaitUntilRead(expected.back()));
    EXPECT_EQ(watch.FilesOpened(), expected);
}

// However far the walk lags, the threads read no further ahead than the queue's bounds allow: at
// most 4,096 jobs, and 4 MiB of their paths (here some 2 KiB a path, so about 2,000 jobs); and of
// one large directory, no further than the piece after the walk's (32-byte records, 1,024 to a
// read of 32 KiB, so some 2,048 entries).
TEST(ReadAhead, ReadsNoFurtherAheadThanTheBoundsOnJobsPathsAndPieces) {
    const ImageFile program = Program("Widget");
    struct Shape {
        int directories;
        int filesEach;
        std::string below;  // the directories between the top and the files
        std::size_t mostOpened;
    };
    const std::string longName(230, 'n');
    std::string deep;
    for (int level = 0; level < 9; ++level) {
        deep += "/" + longName;
    }
    for (const Shape& shape :
         {Shape{50, 100, "", 4096}, Shape{50, 100, deep, 2100}, Shape{1, 6000, "", 2100}}) {
        TempDir tree;
        const std::string top = tree / "top";
        ASSERT_TRUE(WriteImage(tree / "program.dll", program));
        for (int directory = 0; directory < shape.directories; ++directory) {
            const std::string folder = top + shape.below + "/d" + std::to_string(directory);
            MakeDirectories(folder);
            for (int file = 0; file < shape.filesEach; ++file) {  // one program, many names
                const std::string name = folder + "/f" + std::to_string(file) + ".dll";
                ASSERT_EQ(link((tree / "program.dll").c_str(), name.c_str()), 0);
            }
        }
        TreeWatch watch(top);
        WalkStarted walk(shape.directories == 1 ? top + "/d0" : top, 2);
        const std::size_t opened = watch.FilesOpenedOnceSettled();
        EXPECT_LE(opened, shape.mostOpened) << shape.below.size() << " " << shape.filesEach;
        EXPECT_GT(opened, shape.mostOpened / 2) << "the threads hardly read ahead";
    }
}

// What the threads made and the walk has passed no longer holds room: with files whose version
// blocks are large (60 KiB, so that 139 of them fill the 8 MiB the results may hold), the threads
// stop there until the walk has taken half, and once the walk asks for a file far past where
// they stopped, they go on past it.
TEST(ReadAhead, WhatTheWalkPassesMakesRoomForWhatFollows) {
    TempDir tree;
    const std::string top = tree / "top";
    MakeDirectories(top);
    VersionInfo large = SimpleVersionInfo("Widget", "Acme");
    large.stringTables[0].strings.emplace_back("Comments", std::string(30000, 'c'));
    const ImageFile program = PeWithVersion(EncodeWideBlock(MakeVersionTree(large)));
    for (int index = 0; index < 400; ++index) {
        ASSERT_TRUE(WriteImage(top + "/f" + std::to_string(index) + ".dll", program));
    }
    std::vector<std::string> order;  // the walk's
    for (const std::string& name : test_support::NamesInListingOrder(top)) {
        order.push_back(top + "/" + name);
    }
    TreeWatch watch(top);
    WalkStarted walk(top, 2);
    // The last the bound lets them read: 139 of these blocks and the directory's listing fill it.
    ASSERT_TRUE(watch.WaitUntilRead(order[138]));
    EXPECT_LE(watch.FilesOpenedOnceSettled(), 145u) << "results held beyond their bound";
    EXPECT_EQ(ProductAsTheWalkAsks(order[300]), "Widget");
    EXPECT_TRUE(watch.WaitUntilRead(order[390])) << "the threads stopped for want of room";
}

// What the walk takes is the file as it was when it was looked at, read ahead or not: a file
// rewritten after its look is listed as the look found it.
TEST(ReadAhead, AFileIsListedAsItWasWhenItWasLookedAt) {
    TempDir tree;
    const std::string top = tree / "top";
    MakeDirectories(top);
    ASSERT_TRUE(WriteImage(top + "/app.exe", Program("Before")));
    TreeWatch watch(top);
    WalkStarted walk(top, 1);
    ASSERT_TRUE(watch.WaitUntilRead(top + "/app.exe"));
    ASSERT_TRUE(WriteImage(top + "/app.exe", Program("After, longer")));
    EXPECT_EQ(ProductAsTheWalkAsks(top + "/app.exe"), "Before");
}

}  // namespace
