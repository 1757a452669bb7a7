// The built tool over trees written by the fixture writer: the listing file and the console output
// compared byte for byte with what is computed here.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/executable_writer.h"
#include "support/test_support.h"

namespace {

using namespace fixture;
using test_support::Banner;
using test_support::MakeDirectories;
using test_support::ReadFile;
using test_support::RunQuillet;
using test_support::SetModificationTime;
using test_support::TempDir;

constexpr std::time_t kModified = 1'710'459'000;  // 2024-03-14 23:30:00 UTC

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c);
    });
    return text;
}

// A line of the listing: the three padded fields as they must stand, written out in full by the
// caller, the modification time of every file in these trees, and the path as listed.
std::string ExpectedLine(const std::string& paddedFields, const std::string& listedPath) {
    return paddedFields + "\t14.03.2024\t23:30:00\t" + listedPath + "\r\n";
}

std::vector<std::string> SortedLines(const std::string& listing) {
    return test_support::Sorted(test_support::LinesOf(listing));
}

class Tree {
  public:
    void Add(const std::string& relative, const ImageFile& image) {
        const std::string path = dir / relative;
        MakeDirectories(path.substr(0, path.rfind('/')));
        ASSERT_TRUE(WriteImage(path, image));
        SetModificationTime(path, kModified);
    }
    void AddPe(const std::string& relative, const VersionInfo& info, bool pe32Plus = false) {
        Add(relative, PeWithVersion(EncodeWideBlock(MakeVersionTree(info)), pe32Plus));
    }
    std::string operator/(const std::string& relative) const { return dir / relative; }
    const std::string& Path() const { return dir.Path(); }

  private:
    TempDir dir;
};

TEST(EndToEnd, ListsEveryProgramFileWithVersionInformationAndNothingElse) {
    Tree tree;
    TempDir out;
    tree.AddPe("Apps/Bin/Setup.EXE", SimpleVersionInfo("Widget", "Acme", {1, 2, 3, 4}));
    tree.AddPe("Apps/helper.Dll",
               SimpleVersionInfo("Widget  Helper", "Acme \t Tools", {2, 0, 0, 1}), true);
    tree.Add("Apps/Legacy/CTL.OCX",
             NeWithVersion(EncodeNarrowBlock(
                 MakeVersionTree(SimpleVersionInfo("Old Control", "Caf\xE9", {3, 1, 0, 7})))));
    tree.AddPe("Apps/blank.dll", SimpleVersionInfo(" ", "", {1, 0, 0, 0}));
    tree.Add("Apps/noversion.exe", BuildPe(PeOptions{}));
    tree.AddPe("Apps/.hidden/secret.exe", SimpleVersionInfo("Hidden", "Acme"));
    tree.AddPe("Apps/.tool.exe", SimpleVersionInfo("Dot File", "Acme"));
    tree.AddPe("Apps/setup.exe1", SimpleVersionInfo("Not A Candidate", "Acme"));
    tree.AddPe("Apps/lib.dll.bak", SimpleVersionInfo("Backup", "Acme"));
    tree.AddPe("Apps/tool.ex", SimpleVersionInfo("Short", "Acme"));
    tree.AddPe("Apps/my.dir/makefile", SimpleVersionInfo("Makefile", "Acme"));
    tree.AddPe("Apps/readme.txt", SimpleVersionInfo("Readme", "Acme"));

    const auto run = RunQuillet({tree / "Apps/", out / "list.txt"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, Banner(tree / "Apps/*.*", out / "list.txt") + "   0.. \nOk\n");
    EXPECT_EQ(run.errors, "");
    const std::vector<std::string> expected = [&] {
        const std::string apps = Lower(tree.Path()) + "/apps/";
        std::vector<std::string> lines = {
            ExpectedLine("Widget                                                      \tAcme       "
                         "                             \t1.2.3.4        ",
                         apps + "bin/setup.exe"),
            ExpectedLine("Widget Helper                                               \tAcme Tools "
                         "                             \t2.0.0.1        ",
                         apps + "helper.dll"),
            ExpectedLine("Old Control                                                 \tCaf\xC3\xA9"
                         "                                   \t3.1.0.7        ",
                         apps + "legacy/ctl.ocx"),
            ExpectedLine("!!! No Info !!!                                             \t!!! No "
                         "Info !!!                         \t1.0.0.0        ",
                         apps + "blank.dll"),
            ExpectedLine("Dot File                                                    \tAcme       "
                         "                             \t1.2.3.4        ",
                         apps + ".tool.exe"),
        };
        std::sort(lines.begin(), lines.end());
        return lines;
    }();
    EXPECT_EQ(SortedLines(ReadFile(out / "list.txt")), expected);
}

TEST(EndToEnd, CountsOnlyListedFilesInTheProgressMarkers) {
    Tree tree;
    TempDir out;
    const ImageFile listed =
        PeWithVersion(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo("Widget", "Acme"))));
    const ImageFile unlisted = BuildPe(PeOptions{});
    for (int index = 0; index < 1234; ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "d%d/f%d.dll", index % 7, index);
        tree.Add(name, listed);
    }
    for (int index = 0; index < 30; ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "d0/none%d.exe", index);
        tree.Add(name, unlisted);
    }
    const auto run = RunQuillet({tree.Path(), out / "list.txt"});
    EXPECT_EQ(run.exitCode, 0);
    const std::string markers =
        "   0..   50..  100..  150..  200..  250..  300..  350..  400..  450..  500.. \n"
        " 550..  600..  650..  700..  750..  800..  850..  900..  950.. 1000.. \n"
        "1050.. 1100.. 1150.. 1200.. ";
    EXPECT_EQ(run.output, Banner(tree / "*.*", out / "list.txt") + markers + "\nOk\n");
    EXPECT_EQ(SortedLines(ReadFile(out / "list.txt")).size(), 1234u);
}

TEST(EndToEnd, AppendModeAddsTheSameLinesBelowTheFirstRun) {
    Tree tree;
    TempDir out;
    tree.AddPe("one.exe", SimpleVersionInfo("One", "Acme"));
    tree.AddPe("sub/two.dll", SimpleVersionInfo("Two", "Acme"));
    ASSERT_EQ(RunQuillet({tree.Path(), out / "list.txt"}).exitCode, 0);
    const std::string first = ReadFile(out / "list.txt");
    EXPECT_EQ(SortedLines(first).size(), 2u);
    const auto second = RunQuillet({tree.Path(), out / "list.txt", "-a"});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.output, Banner(tree / "*.*", out / "list.txt", true) + "   0.. \nOk\n");
    EXPECT_EQ(ReadFile(out / "list.txt"), first + first);
    // Onto a file whose last line was cut short (by an editor, another tool), the first new line
    // begins on a line of its own.
    for (const std::string& torn : {std::string("cut short"), std::string("cut\r")}) {
        test_support::WriteText(out / "torn.txt", torn);
        ASSERT_EQ(RunQuillet({tree.Path(), out / "torn.txt", "-a"}).exitCode, 0);
        EXPECT_EQ(ReadFile(out / "torn.txt"),
                  (torn.ends_with('\r') ? torn + "\n" : torn + "\r\n") + first);
    }
}

// However a write fails (a full disk or device, a file-size limit, a reader that goes away), the
// run ends with exit code 3 and its message, never by a signal, and the file holds the listing's
// beginning in whole lines.
TEST(EndToEnd, AFailingWriteEndsWithExitThreeAndLeavesWholeLines) {
    Tree tree;
    TempDir out;
    tree.AddPe("program.exe", SimpleVersionInfo("Widget", "Acme"));
    for (int index = 0; index < 1500; ++index) {  // some 230 KB of listing
        ASSERT_EQ(link((tree / "program.exe").c_str(),
                       (tree / ("copy" + std::to_string(index) + ".dll")).c_str()),
                  0);
    }
    ASSERT_EQ(RunQuillet({tree.Path(), out / "whole.txt"}).exitCode, 0);
    const std::string whole = ReadFile(out / "whole.txt");
    const auto expectCutShort = [&](const std::string& listing, const test_support::RunResult& run,
                                    bool fileLeft) {
        EXPECT_EQ(run.exitCode, 3) << listing;
        EXPECT_TRUE(run.output.ends_with("\nError: Write output file failed !!\n")) << run.output;
        if (fileLeft) {
            const std::string cut = ReadFile(listing);
            EXPECT_LT(cut.size(), whole.size()) << listing;
            EXPECT_TRUE(cut.empty() || cut.ends_with("\r\n")) << listing;
            EXPECT_EQ(whole.substr(0, cut.size()), cut) << listing;
        }
    };
    expectCutShort("/dev/full", RunQuillet({tree.Path(), "/dev/full"}), false);

    test_support::RunOptions limited;
    limited.fileSizeLimit = 20000;
    expectCutShort(out / "limited.txt", RunQuillet({tree.Path(), out / "limited.txt"}, limited),
                   true);

    // A reader that takes one byte and leaves.
    ASSERT_EQ(mkfifo((out / "fifo").c_str(), 0644), 0);
    const pid_t reader = fork();
    if (reader == 0) {
        char byte;
        const int fifo = open((out / "fifo").c_str(), O_RDONLY);
        _exit(read(fifo, &byte, 1) == 1 ? 0 : 1);
    }
    expectCutShort("fifo", RunQuillet({tree.Path(), out / "fifo"}), false);
    waitpid(reader, nullptr, 0);

    // A disk of 64 KiB that fills; mounting one needs root.
    MakeDirectories(out / "small");
    if (mount("quillet-test", (out / "small").c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "a small tmpfs cannot be mounted here: " << std::strerror(errno);
    }
    const auto filled = RunQuillet({tree.Path(), out / "small/list.txt"});
    expectCutShort(out / "small/list.txt", filled, true);
    umount((out / "small").c_str());
}

}  // namespace
