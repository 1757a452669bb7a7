// The listing file: opening, replacing, appending, line ends and failures.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "output/output_file.h"
#include "support/test_support.h"

namespace {

using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteText;

// Writing the empty text opens the file: a new one is created empty, an existing one emptied.
TEST(OutputFile, EmptyWriteCreatesOrEmptiesTheFile) {
    TempDir dir;
    for (const bool existed : {false, true}) {
        if (existed) {
            WriteText(dir / "list.txt", "old line\r\n");
        }
        OutputFile output(dir / "list.txt", "w");
        EXPECT_EQ(output.Write(""), S_OK);
        EXPECT_EQ(output.Close(), S_OK);
        EXPECT_EQ(ReadFile(dir / "list.txt"), "");
    }
}

TEST(OutputFile, AppendModeKeepsWhatIsThereAndAddsBelowOnALineOfItsOwn) {
    TempDir dir;
    for (const std::string old : {"old line\r\n", "old line\r\n\x1A", ""}) {
        WriteText(dir / "list.txt", old);
        {
            OutputFile output(dir / "list.txt", "a");
            EXPECT_EQ(output.Write(""), S_OK);
            EXPECT_EQ(output.Write("new line\n"), S_OK);
        }
        EXPECT_EQ(ReadFile(dir / "list.txt"),
                  old + (old.ends_with('\x1A') ? "\r\n" : "") + "new line\r\n");
    }
}

// Every line feed becomes CR LF (a CR already there stays), and a line longer than anything held
// arrives whole.
TEST(OutputFile, WritesEveryLineFeedAsCarriageReturnLineFeed) {
    TempDir dir;
    {
        OutputFile output(dir / "list.txt", "w");
        EXPECT_EQ(output.Write("first\n"), S_OK);
        EXPECT_EQ(output.Write("second\nthird\n\n"), S_OK);
        EXPECT_EQ(output.Write("already\r\nthere\rlone"), S_OK);
        EXPECT_EQ(output.Write(std::string(200000, 'x') + "\n"), S_OK);
    }
    EXPECT_EQ(ReadFile(dir / "list.txt"),
              "first\r\nsecond\r\nthird\r\n\r\nalready\r\r\nthere\rlone" +
                  std::string(200000, 'x') + "\r\n");
}

// A failed open is reported and tried again on the next write; a directory is never opened.
TEST(OutputFile, FailedOpenIsReportedAndTriedAgainOnTheNextWrite) {
    TempDir dir;
    OutputFile output(dir / "later/list.txt", "w");
    EXPECT_EQ(output.Write(""), E_FAIL);
    EXPECT_EQ(output.Write("lost\n"), E_FAIL);
    ASSERT_EQ(mkdir((dir / "later").c_str(), 0755), 0);
    EXPECT_EQ(output.Write("kept\n"), S_OK);
    EXPECT_EQ(output.Close(), S_OK);
    EXPECT_EQ(ReadFile(dir / "later/list.txt"), "kept\r\n");
    OutputFile directory(dir.Path(), "w");
    EXPECT_EQ(directory.Write(""), E_FAIL);
    EXPECT_EQ(directory.Close(), S_OK);  // nothing was opened, so nothing failed to close
}

// A full disk fails the write that overflows what is held, or else the close: never taken for
// success.
TEST(OutputFile, FullDiskIsReportedNotTakenForSuccess) {
    OutputFile held("/dev/full", "w");
    ASSERT_EQ(held.Write(""), S_OK);
    held.Write("a line that cannot reach the disk\n");  // held: the failure shows later
    EXPECT_EQ(held.Close(), E_FAIL);
    OutputFile overflowing("/dev/full", "w");
    ASSERT_EQ(overflowing.Write(""), S_OK);
    EXPECT_EQ(overflowing.Write(std::string(1 << 20, 'x')), E_FAIL);
    EXPECT_EQ(overflowing.Close(), E_FAIL);
}

TEST(OutputFile, AnInterruptWritesTheWholeLinesHeldThenEndsAsTheSignalWould) {
    for (const int signal : {SIGINT, SIGTERM}) {
        TempDir dir;
        const pid_t child = fork();
        if (child == 0) {
            OutputFile output(dir / "list.txt", "w");
            output.Write("");
            ActiveOutput = &output;
            WriteActiveOutputOnInterrupt();
            output.Write("first\n");
            output.Write("second\nthird, not yet whole");
            raise(signal);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), signal);
        EXPECT_EQ(ReadFile(dir / "list.txt"), "first\r\nsecond\r\n");
    }
}

TEST(OutputFile, ReachesTheFileInWholeLinesOnly) {
    TempDir dir;
    OutputFile output(dir / "list.txt", "w");
    const std::string line = std::string(99, 'x') + "\n";
    std::size_t lines = 0;
    struct stat status {};
    // Until the first bytes reach the file, which they do in whole lines.
    while (stat((dir / "list.txt").c_str(), &status) != 0 || status.st_size == 0) {
        ASSERT_EQ(output.Write(line), S_OK);
        ++lines;
        ASSERT_LT(lines, 100000u);
    }
    EXPECT_EQ(status.st_size % 101, 0);
    EXPECT_EQ(output.Close(), S_OK);
    EXPECT_EQ(ReadFile(dir / "list.txt").size(), lines * 101);
}

}  // namespace
