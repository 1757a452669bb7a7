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

TEST(CommandLine, MissingArgumentsPrintTheUsageAndCreateNothing) {
    TempDir dir;
    for (const auto& arguments :
         {std::vector<std::string>{}, std::vector<std::string>{dir.Path()}}) {
        const auto run = RunQuillet(arguments, {.workingDirectory = dir.Path()});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.output, kUsage);
        EXPECT_EQ(run.errors, "");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(CommandLine, RunOverAnEmptyTreePrintsBannerAndOk) {
    TempDir dir;
    test_support::MakeDirectories(dir / "tree");
    const auto run = RunQuillet({dir / "tree", dir / "Out.TXT"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, Banner(dir / "tree/*.*", dir / "Out.TXT", false) + "\nOk\n");
    EXPECT_EQ(run.errors, "");
    EXPECT_TRUE(Exists(dir / "Out.TXT"));
    EXPECT_EQ(ReadFile(dir / "Out.TXT"), "");
}

TEST(CommandLine, MissingDirectoryIsNoErrorAndLeavesAnEmptyFile) {
    TempDir dir;
    WriteText(dir / "out.txt", "previous run\r\n");
    const auto run = RunQuillet({dir / "absent", dir / "out.txt"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, Banner(dir / "absent/*.*", dir / "out.txt", false) + "\nOk\n");
    EXPECT_EQ(ReadFile(dir / "out.txt"), "");
}

TEST(CommandLine, AppendFlagIsTakenInEitherFormAndAnyCase) {
    TempDir dir;
    for (const std::string flag : {"-a", "-A", "/a", "/A"}) {
        WriteText(dir / "out.txt", "kept\r\n");
        const auto run = RunQuillet({dir / "absent", dir / "out.txt", flag});
        EXPECT_EQ(run.exitCode, 0) << flag;
        EXPECT_EQ(run.output, Banner(dir / "absent/*.*", dir / "out.txt", true) + "\nOk\n") << flag;
        EXPECT_EQ(ReadFile(dir / "out.txt"), "kept\r\n") << flag;
    }
}

TEST(CommandLine, OtherThirdArgumentsAndFourArgumentsReplaceTheFile) {
    TempDir dir;
    for (const auto& extra :
         {std::vector<std::string>{"-x"}, std::vector<std::string>{"-a", "extra"},
          std::vector<std::string>{"-aa"}}) {
        WriteText(dir / "out.txt", "replaced\r\n");
        std::vector<std::string> arguments{dir / "absent", dir / "out.txt"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const auto run = RunQuillet(arguments);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.output, Banner(dir / "absent/*.*", dir / "out.txt", false) + "\nOk\n");
        EXPECT_EQ(ReadFile(dir / "out.txt"), "");
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

TEST(CommandLine, OutputThatCannotBeOpenedGivesExitTwoAndNothingElse) {
    TempDir dir;
    for (const std::string& output : {dir / "missing/out.txt", dir.Path()}) {
        const auto run = RunQuillet({dir.Path(), output});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.output, "Error: Open output file failed !!\n");
    }
    EXPECT_FALSE(Exists(dir / "missing"));
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
