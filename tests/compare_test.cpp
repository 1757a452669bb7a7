// quillet-compare, run as a user runs it, on listings that quillet made of the fixture writer's
// trees.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "compare/listing_index.h"
#include "fixtures/executable_writer.h"
#include "platform/ascii.h"
#include "support/test_support.h"

namespace {

using namespace fixture;
using test_support::MakeDirectories;
using test_support::ReadFile;
using test_support::RunQuillet;
using test_support::RunResult;
using test_support::Sorted;
using test_support::TempDir;
using test_support::WriteText;

ImageFile Program(const std::string& product, const std::string& company,
                  std::array<std::uint16_t, 4> version) {
    return PeWithVersion(
        EncodeWideBlock(MakeVersionTree(SimpleVersionInfo(product, company, version))));
}

RunResult Compare(const std::vector<std::string>& arguments) {
    return test_support::RunProgram(QUILLET_COMPARE_BINARY, arguments);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A tree listed once, then changed (one program updated, one removed, one added) and listed again.
class Inventory : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeDirectories(dir / "tree/Apps");
        Write("Apps/Widget.exe", Program("Widget", "Acme", {1, 2, 3, 4}));
        Write("Apps/Helper.dll", Program("Helper", "Acme", {2, 0, 0, 0}));
        Write("Apps/Gone.exe", Program("Gone", "Acme", {1, 0, 0, 0}));
        List("old.txt");
        Write("Apps/Helper.dll", Program("Helper", "Acme", {2, 1, 0, 0}));
        ASSERT_EQ(unlink((dir / "tree/Apps/Gone.exe").c_str()), 0);
        Write("Apps/Fresh.ocx", Program("Fresh", "Beta Soft", {0, 9, 0, 0}));
        List("new.txt");
        listed = dir / "tree";
        platform::LowerCaseAscii(listed);  // as the listings write it
    }

    void Write(const std::string& relative, const ImageFile& image) {
        ASSERT_TRUE(WriteImage(dir / ("tree/" + relative), image));
        test_support::SetModificationTime(dir / ("tree/" + relative), 1700000000);
    }
    void List(const std::string& name, const std::vector<std::string>& more = {}) {
        std::vector<std::string> arguments = {dir / "tree", dir / name};
        arguments.insert(arguments.end(), more.begin(), more.end());
        ASSERT_EQ(RunQuillet(arguments).exitCode, 0);
    }

    TempDir dir;
    std::string listed;
};

TEST_F(Inventory, ReportsEachKindOfDifferenceAndNothingWhenTheListingsAgree) {
    const RunResult result = Compare({dir / "old.txt", dir / "new.txt"});
    EXPECT_EQ(result.exitCode, 1) << result.errors;
    EXPECT_EQ(Sorted(Lines(result.output)),
              Sorted({"changed\t" + listed +
                          "/apps/helper.dll\t2.0.0.0\t2.1.0.0\tHelper\tHelper\tAcme\tAcme",
                      "added\t" + listed + "/apps/fresh.ocx\t\t0.9.0.0\t\tFresh\t\tBeta Soft",
                      "removed\t" + listed + "/apps/gone.exe\t1.0.0.0\t\tGone\t\tAcme\t"}));
    EXPECT_EQ(result.errors, "");
    const RunResult same = Compare({dir / "new.txt", dir / "new.txt"});
    EXPECT_EQ(same.exitCode, 0);
    EXPECT_EQ(same.output, "");
    // An empty listing against a full one: every file added, or every file removed.
    WriteText(dir / "empty.txt", "");
    EXPECT_EQ(Sorted(Lines(Compare({dir / "empty.txt", dir / "new.txt"}).output)),
              Sorted({"added\t" + listed + "/apps/fresh.ocx\t\t0.9.0.0\t\tFresh\t\tBeta Soft",
                      "added\t" + listed + "/apps/helper.dll\t\t2.1.0.0\t\tHelper\t\tAcme",
                      "added\t" + listed + "/apps/widget.exe\t\t1.2.3.4\t\tWidget\t\tAcme"}));
    const RunResult removed = Compare({dir / "new.txt", dir / "empty.txt"});
    EXPECT_EQ(removed.exitCode, 1);
    EXPECT_EQ(Lines(removed.output).size(), 3u);
    EXPECT_EQ(Compare({dir / "empty.txt", dir / "empty.txt"}).exitCode, 0);
}

TEST_F(Inventory, ReportsInTheNewListingsOrderThenTheRemovedInTheOldOnes) {
    Write("Apps/Widget.exe", Program("Widget", "Acme", {1, 2, 3, 5}));
    List("new.txt");
    std::vector<std::string> expected;  // the new listing's paths, as it orders them
    for (const std::string& line : Lines(ReadFile(dir / "new.txt"))) {
        const std::string path =
            line.substr(line.rfind('\t') + 1, line.size() - line.rfind('\t') - 2);
        if (path.find("widget") != std::string::npos || path.find("fresh") != std::string::npos ||
            path.find("helper") != std::string::npos) {
            expected.push_back(path);
        }
    }
    expected.push_back(listed + "/apps/gone.exe");
    std::vector<std::string> reported;
    for (const std::string& line : Lines(Compare({dir / "old.txt", dir / "new.txt"}).output)) {
        reported.push_back(line.substr(line.find('\t') + 1,
                                       line.find('\t', line.find('\t') + 1) - line.find('\t') - 1));
    }
    EXPECT_EQ(reported, expected);
}

// The same files listed on Windows (c:\) and mounted on Linux: the roots map one onto the other,
// whatever separator each listing uses and whatever letter case the root is typed in.
TEST_F(Inventory, MapsTheRootsOfAWindowsListingOntoThoseOfAPosixOne) {
    std::string windows = ReadFile(dir / "new.txt");
    for (std::size_t at = windows.find(listed + "/"); at != std::string::npos;
         at = windows.find(listed + "/", at)) {
        windows.replace(at, listed.size() + 1, "c:\\");
        const std::size_t end = windows.find("\r\n", at);
        std::replace(windows.begin() + static_cast<std::ptrdiff_t>(at),
                     windows.begin() + static_cast<std::ptrdiff_t>(end), '/', '\\');
    }
    WriteText(dir / "windows.txt", windows);
    const RunResult same =
        Compare({"--root", listed + "/=C:\\", dir / "new.txt", dir / "windows.txt"});
    EXPECT_EQ(same.exitCode, 0) << same.output << same.errors;
    const RunResult changed =
        Compare({"--root", listed + "/=c:\\", dir / "old.txt", dir / "windows.txt"});
    EXPECT_EQ(Sorted(Lines(changed.output)),
              Sorted({"changed\tc:\\apps\\helper.dll\t2.0.0.0\t2.1.0.0\tHelper\tHelper\tAcme\tAcme",
                      "added\tc:\\apps\\fresh.ocx\t\t0.9.0.0\t\tFresh\t\tBeta Soft",
                      "removed\t" + listed + "/apps/gone.exe\t1.0.0.0\t\tGone\t\tAcme\t"}));
    // Without the mapping, nothing is the same file.
    EXPECT_EQ(Lines(Compare({dir / "new.txt", dir / "windows.txt"}).output).size(), 6u);
}

// Two runs appended to one file: each path's last line is compared, and the tool says so.
TEST_F(Inventory, ComparesAnAppendedListingByEachPathsLastLine) {
    List("appended.txt");
    Write("Apps/Widget.exe", Program("Widget", "Acme", {1, 2, 3, 9}));
    List("appended.txt", {"-a"});
    const RunResult result = Compare({dir / "new.txt", dir / "appended.txt"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(Lines(result.output),
              (std::vector<std::string>{
                  "changed\t" + listed +
                  "/apps/widget.exe\t1.2.3.4\t1.2.3.9\tWidget\tWidget\tAcme\tAcme"}));
    EXPECT_EQ(result.errors, "quillet-compare: " + dir / "appended.txt" +
                                 ": 3 lines are for paths listed again further on; each path's "
                                 "last line is compared\n");
}

TEST_F(Inventory, ADateOrTimeAloneIsAChangeOnlyWhenAskedFor) {
    test_support::SetModificationTime(dir / "tree/Apps/Widget.exe", 1700003600);  // an hour on
    List("touched.txt");
    EXPECT_EQ(Compare({dir / "new.txt", dir / "touched.txt"}).exitCode, 0);
    const RunResult timed = Compare({"--times", dir / "new.txt", dir / "touched.txt"});
    EXPECT_EQ(timed.exitCode, 1);
    EXPECT_EQ(
        Lines(timed.output),
        (std::vector<std::string>{"changed\t" + listed +
                                  "/apps/widget.exe\t1.2.3.4\t1.2.3.4\tWidget\tWidget\tAcme\tAcme\t"
                                  "14.11.2023 22:13:20\t14.11.2023 23:13:20"}));
}

TEST_F(Inventory, ALineThatIsNoListingLineIsTroubleNamedByItsNumber) {
    std::string damaged = ReadFile(dir / "new.txt");
    const std::size_t second = damaged.find("\r\n") + 2;
    damaged.replace(second, damaged.find('\t', second) - second + 1, "");  // a field fewer
    WriteText(dir / "damaged.txt", damaged);
    const RunResult result = Compare({dir / "old.txt", dir / "damaged.txt"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors,
              "quillet-compare: " + dir / "damaged.txt" + ": line 2 is not a listing line\n");
    // What no listing holds is refused at once, from a file or a stream of any length.
    std::string nul = ReadFile(dir / "new.txt");
    WriteText(dir / "nul.txt", nul.insert(nul.find("\r\n") - 1, std::string("\0", 1)));
    WriteText(dir / "empty-first.txt", "\n" + ReadFile(dir / "new.txt"));
    EXPECT_EQ(Compare({dir / "old.txt", dir / "empty-first.txt"}).errors,
              "quillet-compare: " + dir / "empty-first.txt" + ": line 1 is not a listing line\n");
    EXPECT_EQ(
        Compare({dir / "old.txt", dir / "nul.txt"}).errors,
        "quillet-compare: " + dir / "nul.txt" + ": line 1 holds a NUL: it is not a listing line\n");
    EXPECT_EQ(Compare({dir / "old.txt", "/dev/zero"}).exitCode, 2);
    const RunResult endless = test_support::RunProgram(
        "/bin/sh",
        {"-c", "head -c 50000000 /dev/urandom | tr -d '\\n\\000' | " +
                   std::string(QUILLET_COMPARE_BINARY) + " " + dir / "old.txt" + " /dev/stdin"});
    EXPECT_EQ(endless.errors,
              "quillet-compare: /dev/stdin: line 1 is longer than any listing line\n");
    const RunResult directory = Compare({dir.Path(), dir / "new.txt"});
    EXPECT_EQ(directory.exitCode, 2);
    EXPECT_EQ(directory.errors, "quillet-compare: " + dir.Path() + ": Is a directory\n");
    EXPECT_EQ(Compare({dir / "missing.txt", dir / "new.txt"}).exitCode, 2);
    const RunResult usage = Compare({dir / "new.txt"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_TRUE(
        usage.errors.starts_with("quillet-compare: two listings are needed, 1 were given"
                                 "\nusage: "))
        << usage.errors;
    // After "--", a listing may be named like an option.
    WriteText(dir / "--times", ReadFile(dir / "new.txt"));
    test_support::RunOptions inDir;
    inDir.workingDirectory = dir.Path();
    const auto named =
        test_support::RunProgram(QUILLET_COMPARE_BINARY, {"--", "new.txt", "--times"}, inDir);
    EXPECT_EQ(named.exitCode, 0) << named.errors;
}

// Whatever a hand-edited or hostile listing holds: values up to the longest line are compared
// whole, and paths made to collide in an unkeyed hash are found in a few probes each.
TEST_F(Inventory, HostileListingsAreComparedWholeAndQuickly) {
    const std::string tail = "\t14.11.2023\t22:13:20\t/long.exe\r\n";
    const std::string values = "\tAcme\t1.0.0.0";
    // The longest line taken: 128 KiB before its CR LF.
    const std::string product(128 * 1024 - values.size() - (tail.size() - 2), 'p');
    WriteText(dir / "long-old.txt", product + values + tail);
    WriteText(dir / "long-new.txt", product + "\tAcme\t1.0.0.1" + tail);
    const RunResult changed = Compare({dir / "long-old.txt", dir / "long-new.txt"});
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_TRUE(changed.output.starts_with("changed\t/long.exe\t1.0.0.0\t1.0.0.1\t"));

    // A multiply-xor hash of eight-byte words (as the index once used) is inverted by choosing
    // each path's second word to undo its first.
    const auto mix = [](std::uint64_t hash, std::uint64_t word) {
        hash = (hash ^ word) * 0x9E3779B97F4A7C15u;
        return hash ^ (hash >> 29);
    };
    const std::uint64_t start = mix(0x5157494C4C4554u, compare::ListingIndex::npos);
    std::string colliding;
    std::size_t lines = 0;
    for (std::uint64_t first = 0x4141414141414141u; lines < 20000; ++first) {
        const std::uint64_t second = mix(start, first) ^ 0x2F2F2F2F2F2F2F2Fu;
        char path[16];
        std::memcpy(path, &first, 8);
        std::memcpy(path + 8, &second, 8);
        if (std::string_view(path, 16).find_first_of(std::string_view("\t\r\n\0", 4)) ==
            std::string_view::npos) {
            colliding += "P\tC\t1.0.0.0\t01.01.2024\t00:00:00\t" + std::string(path, 16) + "\r\n";
            ++lines;
        }
    }
    std::string error;
    const std::vector<compare::RootMapping> noRoots;
    const auto index = compare::ListingIndex::Parse(compare::ListingBytes::FromText(colliding),
                                                    noRoots, compare::Side::Old, error);
    ASSERT_TRUE(index) << error;
    EXPECT_EQ(index->Size(), 20000u);
    EXPECT_LT(index->LongestProbe(), 64u);
}

// A listing emptied while it is compared (a listing being rewritten is an ordinary case) ends
// the comparison with its answer or with trouble named, never with a signal.
TEST_F(Inventory, AListingCutShortWhileItIsComparedIsTroubleNeverACrash) {
    std::string big;
    const std::string line = ReadFile(dir / "new.txt");
    while (big.size() < (48u << 20)) {
        big += line;
    }
    for (const int delay : {0, 5, 20, 60}) {
        WriteText(dir / "big.txt", big);
        const pid_t cutter = fork();
        if (cutter == 0) {
            usleep(static_cast<useconds_t>(delay) * 1000);
            _exit(truncate((dir / "big.txt").c_str(), 0) == 0 ? 0 : 1);
        }
        const RunResult result = Compare({dir / "big.txt", dir / "new.txt"});
        waitpid(cutter, nullptr, 0);
        EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 1 || result.exitCode == 2)
            << "ended by signal " << result.exitCode - 128;
        if (result.exitCode == 2) {
            EXPECT_EQ(result.errors,
                      "quillet-compare: " + dir / "big.txt" + ": changed while it was read\n");
        }
    }
}

}  // namespace

namespace {

// The README's recipe for many machines, run on two machines' listings: it loads them, and its
// queries find what they say they find (versions compared as numbers, not as text).
TEST(ManyMachines, TheReadmesSqliteRecipeHoldsTrue) {
    if (std::system("command -v sqlite3 > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "sqlite3 is not installed";
    }
    TempDir dir;
    const auto machine = [&](const std::string& name,
                             const std::vector<std::pair<std::string, ImageFile>>& files) {
        for (const auto& [path, image] : files) {
            MakeDirectories(dir / (name + "/" + path.substr(0, path.rfind('/'))));
            ASSERT_TRUE(WriteImage(dir / (name + "/" + path), image));
        }
        ASSERT_EQ(RunQuillet({dir / name, dir / (name + ".txt")}).exitCode, 0);
    };
    machine("alpha", {{"apps/widget.exe", Program("Widget", "Acme", {1, 2, 3, 4})},
                      {"apps/new/widget.exe", Program("Widget", "Acme", {1, 10, 0, 0})},
                      {"apps/helper.dll", Program("Helper", "Acme", {2, 0, 0, 0})}});
    machine("beta", {{"apps/widget.exe", Program("Widget", "Acme", {1, 2, 3, 9})},
                     {"apps/tool.exe", Program("Tool", "Beta Soft", {3, 0, 0, 0})}});
    std::string listed = dir.Path();
    platform::LowerCaseAscii(listed);
    EXPECT_EQ(test_support::RunReadmeRecipe(dir.Path(), "load"), "");
    EXPECT_EQ(test_support::RunReadmeRecipe(dir.Path(), "below"),
              "alpha|1.2.3.4|" + listed + "/alpha/apps/widget.exe\nbeta|1.2.3.9|" + listed +
                  "/beta/apps/widget.exe\n");
    EXPECT_EQ(test_support::RunReadmeRecipe(dir.Path(), "missing"), "Helper\n");
}

}  // namespace
