// Trees that a careless or hostile disk can hold. Every run must end with exit code 0 and list
// exactly the files that carry readable version information, and nothing may block it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/damaged_files.h"
#include "fixtures/executable_writer.h"
#include "platform/ascii.h"
#include "support/fuse_mount.h"
#include "support/test_support.h"

namespace {

using namespace fixture;
using test_support::FuseMount;
using test_support::MakeDirectories;
using test_support::ReadFile;
using test_support::RunQuillet;
using test_support::TempDir;

// The path field of every line, in order.
std::vector<std::string> ListedPaths(const std::string& listing) {
    std::vector<std::string> paths;
    for (const std::string& line : test_support::LinesOf(listing)) {
        paths.push_back(
            line.substr(line.rfind('\t') + 1, line.find("\r\n") - line.rfind('\t') - 1));
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

    // Runs quillet over the tree and returns the listed paths, relative to the tree. It runs once
    // more without reading ahead, and the two listings must be the same. Standard error must be
    // unreadable (what it names, unreadable paths relative to the tree), the exit code 4 when it
    // names any, else 0.
    std::vector<std::string> Run(bool unprivileged = false,
                                 const std::vector<std::string>& unreadable = {}) {
        std::string listings[2];
        for (const bool withoutReadAhead : {false, true}) {
            test_support::RunOptions options;
            options.unprivileged = unprivileged;
            options.withoutReadAhead = withoutReadAhead;
            const auto run = RunQuillet({tree / "top", out / "listing/list.txt"}, options);
            std::vector<std::string> named;  // in the walk's order, which the file system sets
            for (const std::string& path : unreadable) {
                named.push_back("quillet: cannot read '" + tree / ("top/" + path) +
                                "': Permission denied");
            }
            std::vector<std::string> errors;
            for (std::size_t start = 0, end;
                 (end = run.errors.find('\n', start)) != std::string::npos; start = end + 1) {
                errors.push_back(run.errors.substr(start, end - start));
            }
            EXPECT_EQ(run.exitCode, unreadable.empty() ? 0 : 4) << run.output << run.errors;
            EXPECT_EQ(test_support::Sorted(errors), named) << run.errors;
            EXPECT_TRUE(run.output.ends_with(unreadable.empty() ? "\nOk\n"
                                                                : "files could not be read !!\n"));
            listings[withoutReadAhead] = ReadFile(out / "listing/list.txt");
        }
        EXPECT_EQ(listings[0], listings[1]) << "read ahead, then not";
        std::vector<std::string> paths = ListedPaths(listings[0]);
        for (std::string& path : paths) {
            path = path.substr(tree.Path().size() + std::strlen("/top/"));
        }
        return paths;
    }

    // Runs quillet over the tree, runs times (or for as long as a minute allows), while another
    // process keeps changing it, change(round) for round after round; check sees each run and
    // its listing.
    void RunWhileChanging(const std::function<void(unsigned round)>& change, int runs,
                          const test_support::RunOptions& options,
                          const std::function<void(const test_support::RunResult&,
                                                   const std::string& listing)>& check) {
        const pid_t changer = fork();
        if (changer == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
            for (unsigned round = 0;; ++round) {
                change(round);
            }
        }
        ASSERT_GT(changer, 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        for (int run = 0; run < runs && std::chrono::steady_clock::now() < deadline; ++run) {
            test_support::RunOptions each = options;
            each.withoutReadAhead = options.withoutReadAhead || run % 2 == 1;
            const auto result = RunQuillet({tree / "top", out / "listing/list.txt"}, each);
            check(result, ReadFile(out / "listing/list.txt"));
        }
        int status = 0;
        EXPECT_EQ(waitpid(changer, &status, WNOHANG), 0) << "the changes stopped";
        kill(changer, SIGKILL);
        waitpid(changer, &status, 0);
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

// Another process switches names back and forth between a program and a FIFO (standing in for a
// device: opening one can act) while the tree is listed, and every directory of the tree holds
// links through those names: the kind is checked on the very file pinned, so no run ever opens
// the FIFO, however the switches fall.
TEST_F(HostileTree, ANameSwitchedToAFifoWhileItIsExaminedIsNeverOpened) {
    constexpr int kNames = 4;
    constexpr int kDirectories = 100;
    constexpr int kLinksEach = 40;
    constexpr int kRuns = 10;
    MakeDirectories(tree / "top/switched");
    Write("switched/program.bin", Widget());
    ASSERT_EQ(mkfifo((tree / "top/switched/fifo").c_str(), 0644), 0);
    for (int index = 0; index < kNames; ++index) {
        const std::string name = tree / ("top/switched/s" + std::to_string(index));
        ASSERT_EQ(symlink("program.bin", name.c_str()), 0);
        ASSERT_EQ(symlink("fifo", (name + ".other").c_str()), 0);
    }
    for (int directory = 0; directory < kDirectories; ++directory) {
        const std::string folder = tree / ("top/d" + std::to_string(directory));
        MakeDirectories(folder);
        for (int index = 0; index < kLinksEach; ++index) {
            const std::string target = "../switched/s" + std::to_string(index % kNames);
            const std::string link = folder + "/l" + std::to_string(index) + ".dll";
            ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        }
    }
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, (tree / "top/switched/fifo").c_str(), IN_OPEN), 0);
    const int folder = open((tree / "top/switched").c_str(), O_RDONLY | O_DIRECTORY);
    int opened = 0;
    // On one processor, so that the switches, on another, come thick and fast.
    test_support::RunOptions onOneProcessor;
    onOneProcessor.oneProcessor = true;
    RunWhileChanging(
        [folder](unsigned round) {  // one call a switch: the two links exchange names
            const std::string name = std::string("s").append(std::to_string(round % kNames));
            renameat2(folder, name.c_str(), folder, (name + ".other").c_str(), RENAME_EXCHANGE);
        },
        kRuns, onOneProcessor,
        [&](const test_support::RunResult& result, const std::string&) {
            EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
            char events[4096];
            opened += read(watch, events, sizeof events) > 0 ? 1 : 0;
        });
    close(folder);
    close(watch);
    EXPECT_EQ(opened, 0) << "runs in which the FIFO was opened";
}

// Another process keeps swapping directories of the tree for links to a directory outside it
// that holds files of the same names, and back: however the swaps fall between the walk's look
// at an entry and its listing, or between a listing and the look at its files, nothing from
// outside is ever listed, with or without reading ahead, nor a file there even opened.
TEST_F(HostileTree, DirectoriesSwappedForLinksOutOfTheTreeShowNothingFromOutside) {
    const ImageFile inside =
        PeWithVersion(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo("Inside", "Acme"))));
    const ImageFile outside =
        PeWithVersion(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo("Outside", "Evil"))));
    constexpr int kSwapped = 8;
    MakeDirectories(tree / "parked");
    for (const std::string name : {"app.exe", "deeper/app.dll"}) {
        MakeDirectories(tree / "outside/deeper");
        ASSERT_TRUE(WriteImage(tree / ("outside/" + name), outside));
        for (int index = 0; index < kSwapped; ++index) {
            const std::string swapped = std::string("s").append(std::to_string(index));
            MakeDirectories(tree / ("top/" + swapped + "/deeper"));
            Write(swapped + "/" + name, inside);
        }
    }
    const int watch = inotify_init1(IN_NONBLOCK);
    for (const char* folder : {"outside", "outside/deeper"}) {
        ASSERT_GE(inotify_add_watch(watch, (tree / folder).c_str(), IN_OPEN), 0);
    }
    const std::string target = tree / "outside";
    RunWhileChanging(
        [&](unsigned round) {
            const std::string name = std::string("s").append(std::to_string(round % kSwapped));
            const std::string inTree = tree / ("top/" + name);
            const std::string parked = tree / ("parked/" + name);
            if (rename(inTree.c_str(), parked.c_str()) == 0 &&
                symlink(target.c_str(), inTree.c_str()) == 0) {
                unlink(inTree.c_str());
            }
            rename(parked.c_str(), inTree.c_str());
        },
        200, {},
        [](const test_support::RunResult& result, const std::string& listing) {
            ASSERT_LT(result.exitCode, 128) << "ended by a signal";
            ASSERT_EQ(listing.find("Outside"), std::string::npos) << listing;
        });
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            EXPECT_TRUE(event->len == 0 || (event->mask & IN_ISDIR) != 0)
                << "opened outside: " << event->name;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    close(watch);
}

TEST_F(HostileTree, WhatMayNotBeReadIsNamedAndTheRestListed) {
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
    // Named once, as itself, whether or not a link to it is met first.
    ASSERT_EQ(symlink("noread", (tree / "top/link").c_str()), 0);
    ASSERT_EQ(symlink("noread", (tree / "top/zlink").c_str()), 0);
    EXPECT_EQ(Run(true, {"noexec/b.exe", "noread", "unreadable.exe"}),
              std::vector<std::string>{"open/c.exe"});
}

TEST_F(HostileTree, OfDamagedFilesOnlyThoseWithAVersionBlockAreListed) {
    std::vector<std::string> expected;
    for (const DamagedFile& file : DamagedFiles()) {
        Write(file.name, file.image);
        if (!file.product.empty()) {
            expected.push_back(file.name);
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Run(), expected);
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

// Trees that real disks hold: links that fan out or leave the tree, deep paths, interrupted runs.

TEST_F(HostileTree, AWinePrefixListsItsOwnFilesOnce) {
    MakeDirectories(tree / "top/drive_c/windows/system32");
    MakeDirectories(tree / "top/drive_c/users/me");
    MakeDirectories(tree / "top/dosdevices");
    MakeDirectories(tree / "home");
    Write("drive_c/windows/system32/kernel.dll", Widget());
    ASSERT_TRUE(WriteImage(tree / "home/mine.exe", Widget()));
    ASSERT_EQ(symlink("../drive_c", (tree / "top/dosdevices/c:").c_str()), 0);
    ASSERT_EQ(symlink("/", (tree / "top/dosdevices/z:").c_str()), 0);
    ASSERT_EQ(symlink((tree / "home").c_str(), (tree / "top/dosdevices/h:").c_str()), 0);
    for (const char* folder : {"Desktop", "Documents", "Music", "Pictures"}) {
        const std::string link = tree / ("top/drive_c/users/me/" + std::string(folder));
        ASSERT_EQ(symlink((tree / "home").c_str(), link.c_str()), 0);
    }
    const std::vector<std::string> listed = Run();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(listed[0] == "drive_c/windows/system32/kernel.dll" ||
                listed[0] == "dosdevices/c:/windows/system32/kernel.dll")
        << listed[0];
}

TEST_F(HostileTree, LinksThatFanOutListEachProgramOnce) {
    constexpr int kLevels = 17;  // two links a level: 131,072 paths to the one program
    for (int level = 0; level < kLevels; ++level) {
        const std::string directory = tree / ("top/l" + std::to_string(level));
        MakeDirectories(directory);
        for (const char* link : {"/a", "/b"}) {
            const std::string next = "../l" + std::to_string(level + 1);
            ASSERT_EQ(symlink(next.c_str(), (directory + link).c_str()), 0);
        }
    }
    MakeDirectories(tree / ("top/l" + std::to_string(kLevels)));
    Write("l" + std::to_string(kLevels) + "/program.exe", Widget());
    const std::vector<std::string> listed = Run();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].substr(listed[0].size() - std::strlen("/program.exe")), "/program.exe");
}

// Shapes the read-ahead must follow in the walk's order: a chain a hundred levels deep with a
// branch at every level, and one directory of 20,000 entries.
TEST_F(HostileTree, AHundredLevelTreeIsListedWholeAndInOrder) {
    std::vector<std::string> expected;
    std::string level;
    for (int depth = 0; depth < 100; ++depth) {
        MakeDirectories(tree / ("top/" + level + "side"));
        Write(level + "notes.txt", Widget());
        for (const char* name : {"a.exe", "side/b.dll"}) {
            expected.push_back(level + name);
            Write(expected.back(), Widget(depth % 2 == 0));
        }
        level += "d/";
        MakeDirectories(tree / ("top/" + level));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Run(), expected);
}

TEST_F(HostileTree, AFlatDirectoryOfTwentyThousandEntriesIsListedWhole) {
    Write("program.exe", Widget());
    std::vector<std::string> expected = {"program.exe"};
    for (int index = 0; index < 20000; ++index) {
        const bool candidate = index % 5 == 0;
        const std::string name =
            std::string("f").append(std::to_string(index)).append(candidate ? ".dll" : ".txt");
        ASSERT_EQ(link((tree / "top/program.exe").c_str(), (tree / ("top/" + name)).c_str()), 0);
        if (candidate) {
            expected.push_back(name);
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Run(), expected);
}

TEST_F(HostileTree, PathsLongerThanTheKernelTakesAreListedToABoundedDepth) {
    // "/d" a level: 4,200 bytes at level 2,100, past the kernel's 4,096. Beyond 4,096 levels the
    // walk goes no deeper, so that no tree can exhaust its stack.
    constexpr int kLevels = 4200;
    const Bytes program = Widget().bytes;
    int directory = open((tree / "top").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    std::string path;
    std::vector<std::string> expected;
    for (int level = 1; level < kLevels; ++level) {
        ASSERT_EQ(mkdirat(directory, "d", 0755), 0);
        const int next = openat(directory, "d", O_RDONLY | O_DIRECTORY);
        close(directory);
        ASSERT_GE(next, 0);
        directory = next;
        path += "d/";
        if (level == 1000 || level == 2099 || level == 4095 || level == 4096) {
            const int file = openat(directory, "Level.EXE", O_WRONLY | O_CREAT, 0644);
            ASSERT_GE(file, 0);
            ASSERT_EQ(write(file, program.data(), program.size()),
                      static_cast<ssize_t>(program.size()));
            close(file);
            if (level < 4096) {
                expected.push_back(path + "level.exe");
            }
        }
    }
    close(directory);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Run(), expected);
}

TEST_F(HostileTree, TimesAreUtcWhateverTheTimeZone) {
    Write("app.exe", Widget());
    test_support::SetModificationTime(tree / "top/app.exe", 1614900600);  // 2021-03-04 23:30 UTC
    setenv("TZ", "JST-9", 1);
    const auto run = RunQuillet({tree / "top", out / "listing/list.txt"});
    unsetenv("TZ");
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_NE(ReadFile(out / "listing/list.txt").find("\t04.03.2021\t23:30:00\t"),
              std::string::npos);
}

TEST_F(HostileTree, AnInterruptedRunLeavesOnlyWholeLines) {
    // One program under many names: a run long enough to be interrupted, quickly made.
    constexpr int kDirectories = 40;
    constexpr int kNamesEach = 1000;
    Write("program.exe", Widget());
    for (int index = 0; index < kDirectories * kNamesEach; ++index) {
        const std::string directory = "top/d" + std::to_string(index / kNamesEach);
        if (index % kNamesEach == 0) {
            MakeDirectories(tree / directory);
        }
        const std::string name = tree / (directory + "/copy" + std::to_string(index) + ".exe");
        ASSERT_EQ(link((tree / "top/program.exe").c_str(), name.c_str()), 0);
    }
    ASSERT_EQ(RunQuillet({tree / "top", out / "listing/whole.txt"}).exitCode, 0);
    const std::vector<std::string> whole =
        test_support::LinesOf(ReadFile(out / "listing/whole.txt"));
    ASSERT_EQ(whole.size(), std::size_t{kDirectories * kNamesEach + 1});
    const std::set<std::string> wholeLines(whole.begin(), whole.end());

    for (const int signal : {SIGINT, SIGTERM}) {
        const std::string listing = out / ("listing/cut" + std::to_string(signal) + ".txt");
        const pid_t child = test_support::StartQuillet({tree / "top", listing});
        ASSERT_GT(child, 0);
        // Interrupted once the listing has begun to reach the disk, well before the end.
        struct stat status {};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((stat(listing.c_str(), &status) != 0 || status.st_size == 0) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        kill(child, signal);
        int exit = 0;
        ASSERT_EQ(waitpid(child, &exit, 0), child);
        ASSERT_TRUE(WIFSIGNALED(exit)) << "the run ended before it could be interrupted";
        EXPECT_EQ(WTERMSIG(exit), signal);
        const std::vector<std::string> cut = test_support::LinesOf(ReadFile(listing));
        EXPECT_FALSE(cut.empty());
        EXPECT_LT(cut.size(), whole.size());
        for (const std::string& line : cut) {
            ASSERT_EQ(wholeLines.count(line), 1u) << line;
        }
    }
}

TEST_F(HostileTree, NamesLongerThanTheOldRecordHeldAreListed) {
    MakeDirectories(tree / "backing/d@400");
    ASSERT_TRUE(WriteImage(tree / "backing/d@400/N@296.EXE", Widget()));
    ASSERT_TRUE(WriteImage(tree / "backing/short.exe", Widget()));
    ASSERT_TRUE(WriteImage(tree / "backing/m@1020.exe", Widget()));  // FUSE's longest: 1,024 bytes
    const FuseMount names({"--stretch-names"}, tree / "backing", tree / "top");
    if (!names.Refusal().empty()) {
        GTEST_SKIP() << names.Refusal();
    }
    std::vector<std::string> expected = {
        std::string(400, 'd') + "/" + std::string(296, 'n') + ".exe",
        std::string(1020, 'm') + ".exe", "short.exe"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Run(), expected);
}

// Over a share slow enough for every thread to read ahead, the listing is the one the files give
// directly without reading ahead, line for line and in order, and nothing but candidate regular
// files is opened.
TEST_F(HostileTree, ReadingAheadOverASlowShareChangesNoLine) {
    Write("program.exe", Widget());
    constexpr unsigned kCopies = 3000;
    for (unsigned index = 0; index < kCopies; ++index) {
        const std::string directory =
            "top/g" + std::to_string(index % 10) + "/d" + std::to_string(index % 100);
        MakeDirectories(tree / directory);
        const std::string name = tree / (directory + "/Copy" + std::to_string(index) + ".Exe");
        ASSERT_EQ(link((tree / "top/program.exe").c_str(), name.c_str()), 0);
    }
    MakeDirectories(tree / "top/damaged");
    for (const DamagedFile& file : DamagedFiles()) {
        Write("damaged/" + file.name, file.image);
    }
    ASSERT_EQ(mkfifo((tree / "top/pipe.exe").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", (tree / "top/zero.dll").c_str()), 0);
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, (tree / "top/pipe.exe").c_str(), IN_OPEN), 0);

    MakeDirectories(tree / "share");
    test_support::RunOptions withoutReadAhead;
    withoutReadAhead.withoutReadAhead = true;
    ASSERT_EQ(RunQuillet({tree / "top", out / "listing/direct.txt"}, withoutReadAhead).exitCode, 0);
    {
        const FuseMount share({"--latency-us", "300"}, tree / "top", tree / "share");
        if (!share.Refusal().empty()) {
            close(watch);
            GTEST_SKIP() << share.Refusal();
        }
        const auto shared = RunQuillet({tree / "share", out / "listing/share.txt"});
        ASSERT_EQ(shared.exitCode, 0) << shared.errors;
        // A failed write ends the run with its threads joined: exit 3, not an abort.
        const auto full = RunQuillet({tree / "share", "/dev/full"});
        EXPECT_EQ(full.exitCode, 3) << full.output << full.errors;
    }
    std::string shared = ReadFile(out / "listing/share.txt");
    const std::string direct = ReadFile(out / "listing/direct.txt");
    for (std::size_t at = shared.find("/share/"); at != std::string::npos;
         at = shared.find("/share/", at)) {
        shared.replace(at, std::strlen("/share/"), "/top/");
    }
    EXPECT_EQ(shared, direct);
    EXPECT_GT(direct.size(), kCopies * 150u);
    char events[256];
    EXPECT_LT(read(watch, events, sizeof events), 0) << "the FIFO was opened";
    close(watch);
}

// What a failing disk or share cannot give is not taken for a complete listing: each path that
// could not be listed, opened or read is named on standard error with its reason, every line that
// could be formed is kept, and the run ends with exit code 4 instead of Ok, with or without
// reading ahead. What changed meanwhile is no failure: an entry gone before it was looked at, a
// file that ended before the size it was opened with (its last reads giving nothing).
TEST_F(HostileTree, WhatAFailingShareCannotGiveIsReportedAndTheRestListed) {
    MakeDirectories(tree / "backing/sub");
    MakeDirectories(tree / "backing/broken");
    for (const char* name : {"a.exe", "b.dll", "sub/c.exe", "bad.exe", "worse.dll", "broken/d.exe",
                             "notes.txt", "gone.exe", "cut.ocx"}) {
        ASSERT_TRUE(WriteImage(tree / ("backing/" + std::string(name)), Widget()));
    }
    const FuseMount share({"--fail-open", "bad.exe", "--fail-read", "worse.dll", "--fail-list",
                           "broken", "--vanish", "gone.exe", "--short-read", "cut.ocx"},
                          tree / "backing", tree / "top");
    if (!share.Refusal().empty()) {
        GTEST_SKIP() << share.Refusal();
    }
    for (const bool withoutReadAhead : {false, true}) {
        test_support::RunOptions options;
        options.withoutReadAhead = withoutReadAhead;
        const auto run = RunQuillet({tree / "top", out / "listing/list.txt"}, options);
        EXPECT_EQ(run.exitCode, 4) << run.output << run.errors;
        const std::string incomplete = "\nError: Some files could not be read !!\n";
        EXPECT_EQ(run.output.substr(run.output.size() - incomplete.size()), incomplete);
        std::vector<std::string> reported;
        for (std::size_t at = 0; at < run.errors.size();) {
            const std::size_t end = run.errors.find('\n', at);
            reported.push_back(run.errors.substr(at, end - at));
            at = end + 1;
        }
        std::sort(reported.begin(), reported.end());
        const std::string top = tree / "top";
        EXPECT_EQ(reported,
                  (std::vector<std::string>{
                      "quillet: cannot read '" + top + "/bad.exe': Input/output error",
                      "quillet: cannot read '" + top + "/broken': Input/output error",
                      "quillet: cannot read '" + top + "/worse.dll': Input/output error"}))
            << "without reading ahead: " << withoutReadAhead;
        std::string listedTop = top;
        platform::LowerCaseAscii(listedTop);  // as the listing writes it
        EXPECT_EQ(ListedPaths(ReadFile(out / "listing/list.txt")),
                  (std::vector<std::string>{listedTop + "/a.exe", listedTop + "/b.dll",
                                            listedTop + "/sub/c.exe"}));
    }
}

// A share whose daemon ends in the middle of the run: what was read before is listed, and the
// run says the listing is incomplete.
TEST_F(HostileTree, AShareThatDropsInTheMiddleOfTheRunEndsIncomplete) {
    constexpr int kPrograms = 200;
    for (int index = 0; index < kPrograms; ++index) {
        const std::string folder = "backing/d" + std::to_string(index / 20);
        MakeDirectories(tree / folder);
        ASSERT_TRUE(WriteImage(tree / (folder + "/p" + std::to_string(index) + ".exe"), Widget()));
    }
    for (const bool withoutReadAhead : {false, true}) {
        const FuseMount share({"--end-after", "400"}, tree / "backing", tree / "top");
        if (!share.Refusal().empty()) {
            GTEST_SKIP() << share.Refusal();
        }
        test_support::RunOptions options;
        options.withoutReadAhead = withoutReadAhead;
        const auto run = RunQuillet({tree / "top", out / "listing/list.txt"}, options);
        EXPECT_EQ(run.exitCode, 4) << run.output << run.errors;
        EXPECT_NE(run.errors.find("quillet: cannot read '" + tree.Path() + "/top"),
                  std::string::npos)
            << run.errors;
        const std::string listing = ReadFile(out / "listing/list.txt");
        EXPECT_LT(ListedPaths(listing).size(), std::size_t{kPrograms});
        for (const std::string& line : test_support::LinesOf(listing)) {
            EXPECT_EQ(line.substr(0, 6), "Widget");
            EXPECT_EQ(line.substr(line.size() - 6), ".exe\r\n");
        }
    }
}

}  // namespace
