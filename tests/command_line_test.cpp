// The built tool run as a user runs it: arguments, console output and exit codes, byte for byte.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace {

using test_support::Banner;

using test_support::ReadFile;
using test_support::RunQuillet;
using test_support::TempDir;
using test_support::WriteText;

const std::string kUsage =
    "Usage:\n\n"
    "   Quillet directory output-file [-a]\n"
    "      -a = Append to Output file (optional)\n";

bool Exists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

TEST(CommandLine, MissingArgumentsOrAnOutputThatCannotBeOpenedEndTheRunAtOnce) {
    TempDir dir;
    for (const auto& arguments :
         {std::vector<std::string>{}, std::vector<std::string>{dir.Path()}}) {
        const auto run = RunQuillet(arguments, {.workingDirectory = dir.Path()});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.output, kUsage);
        EXPECT_EQ(run.errors, "");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
    // An output file that cannot be opened: exit 2 and its message, nothing else.
    for (const std::string& output : {dir / "missing/out.txt", dir.Path()}) {
        const auto run = RunQuillet({dir.Path(), output});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.output, "Error: Open output file failed !!\n");
    }
    EXPECT_FALSE(Exists(dir / "missing"));
}

// An empty tree, or one that does not exist, is no error: the banner, Ok, and an empty listing
// file (an old one emptied), named in its letter case as typed.
TEST(CommandLine, AnEmptyOrMissingTreeGivesBannerOkAndAnEmptyFile) {
    TempDir dir;
    test_support::MakeDirectories(dir / "tree");
    for (const std::string tree : {"tree", "absent"}) {
        WriteText(dir / "Out.TXT", "previous run\r\n");
        const auto run = RunQuillet({dir / tree, dir / "Out.TXT"});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.output, Banner(dir / (tree + "/*.*"), dir / "Out.TXT", false) + "\nOk\n");
        EXPECT_EQ(run.errors, "");
        EXPECT_EQ(ReadFile(dir / "Out.TXT"), "");
    }
}

// -a or /a in any case, and only as the third and last argument, appends; anything else replaces
// the file without a message.
TEST(CommandLine, OnlyAnAppendFlagThirdAndLastAppends) {
    TempDir dir;
    const std::vector<std::pair<std::vector<std::string>, bool>> cases = {
        {{"-a"}, true},  {{"-A"}, true},           {{"/a"}, true},  {{"/A"}, true},
        {{"-x"}, false}, {{"-a", "extra"}, false}, {{"-aa"}, false}};
    for (const auto& [extra, appends] : cases) {
        WriteText(dir / "out.txt", "kept\r\n");
        std::vector<std::string> arguments{dir / "absent", dir / "out.txt"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const auto run = RunQuillet(arguments);
        EXPECT_EQ(run.exitCode, 0) << extra[0];
        EXPECT_EQ(run.output, Banner(dir / "absent/*.*", dir / "out.txt", appends) + "\nOk\n");
        EXPECT_EQ(ReadFile(dir / "out.txt"), appends ? "kept\r\n" : "") << extra[0];
    }
}

TEST(CommandLine, OneTrailingSeparatorIsRemoved) {
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> cases = {{"tree", "tree/*.*"},
                                                                    {"tree/", "tree/*.*"},
                                                                    {"tree//", "tree//*.*"},
                                                                    {"absent/", "absent/*.*"}};
    for (const auto& [directory, pattern] : cases) {
        const auto run = RunQuillet({directory, dir / "out.txt"}, {.workingDirectory = dir.Path()});
        EXPECT_EQ(run.output.substr(0, Banner(pattern, dir / "out.txt", false).size()),
                  Banner(pattern, dir / "out.txt", false));
    }
}

TEST(CommandLine, ArgumentsOfAnyLengthAreAccommodated) {
    TempDir dir;
    const std::string longName(200, 'n');
    std::string directory = dir.Path();
    for (int level = 0; level < 8; ++level) {
        directory += "/" + longName;
    }
    test_support::MakeDirectories(directory);
    const std::string output = dir / (longName + ".txt");
    const auto run = RunQuillet({directory, output});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, Banner(directory + "/*.*", output, false) + "\nOk\n");
    EXPECT_TRUE(Exists(output));
}

}  // namespace
