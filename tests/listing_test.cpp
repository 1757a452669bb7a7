// The listing's pieces: which files are candidates, the line's fields, and the progress markers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "listing/listing.h"
#include "platform/candidates.h"
#include "version/version_info.h"

#ifndef _WIN32
#include <unistd.h>

#include "fixtures/executable_writer.h"
#include "output/output_file.h"
#include "support/test_support.h"
#include "walk/walk.h"
#endif

namespace {

SYSTEMTIME Calendar(int year, int month, int day, int hour, int minute, int second) {
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    return time;
}

// Letter case is A to Z only; a candidate's extension is one of three, whole, in any case.
TEST(Candidates, AreTheThreeExtensionsWholeInAnyLetterCase) {
    std::string text = "@AZ[`az{\xC3\x89\xC0";
    platform::LowerCaseAscii(text);
    EXPECT_EQ(text, "@az[`az{\xC3\x89\xC0");
    for (const char* path : {"c/setup.exe", "c/lib.dll", "c/ctl.ocx", "c/.tool.exe",
                             "c/my.dir/a.b.exe", ".exe", "C/Setup.EXE", "c/LIB.Dll", "c/ctl.oCX"}) {
        EXPECT_TRUE(platform::IsCandidate(path)) << path;
    }
    for (const char* path :
         {"c/readme.txt", "c/makefile", "c/tool.ex", "c/lib.dll.bak", "c/my.dir/makefile",
          "c/setup.exe1", "c/setup.exe ", "c/setupexe", "c/x.dl", "c/exe", ""}) {
        EXPECT_FALSE(platform::IsCandidate(path)) << path;
    }
}

// Product, company and version padded to 60, 40 and 15 columns (a longer company widens its
// field, nothing is ever cut), then date, time and path; zeros for a time that cannot be shown.
TEST(ListingLine, PadsItsFieldsAndIsNeverCut) {
    const SYSTEMTIME time = Calendar(2024, 3, 5, 7, 8, 9);
    EXPECT_EQ(FormatListingLine("Widget", "Acme", "1.2.3.4", &time, "c/apps/setup.exe"),
              "Widget                                                      \t"
              "Acme                                    \t"
              "1.2.3.4        \t05.03.2024\t07:08:09\tc/apps/setup.exe\n");
    const std::string product(50, 'p');
    const std::string company45(45, 'c');
    const std::string line = FormatListingLine(product, company45, NoInfoText, &time, "x.dll");
    EXPECT_EQ(line.substr(0, 61), product + std::string(10, ' ') + "\t");
    EXPECT_EQ(line.substr(61, 46), company45 + "\t");
    EXPECT_EQ(line.substr(107, 16), std::string(NoInfoText) + "\t");
    const std::string path = "/" + std::string(5000, 'd') + "/x.exe";
    const std::string wide = FormatListingLine("p", std::string(255, 'c'), "1.0.0.0", &time, path);
    EXPECT_EQ(wide.size(), 5361u);  // 353 bytes of fields and tabs, the 5,007-byte path, LF
    EXPECT_EQ(wide.substr(wide.size() - path.size() - 1), path + "\n");
    EXPECT_NE(
        FormatListingLine("p", "c", "v", nullptr, "x.exe").find("\t00.00.0000\t00:00:00\tx.exe\n"),
        std::string::npos);
}

TEST(ListingLine, WritesTabsAndLineBreaksInsideFieldsAsBlanks) {
    const SYSTEMTIME time = Calendar(2024, 1, 1, 0, 0, 0);
    const std::string line =
        FormatListingLine("A\tB", "C\nD", "1\r2", &time, "dir\twith\vodd\fname.exe");
    EXPECT_EQ(line.find_first_of("\n\r\v\f"), line.size() - 1);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 5);
    EXPECT_EQ(line.substr(0, 3), "A B");
    EXPECT_NE(line.find("dir with odd name.exe\n"), std::string::npos);
}

#ifndef _WIN32
TEST(ExamineFile, PassesOverAFileThatVanishedAfterItWasListed) {
    test_support::TempDir dir;
    const std::string path = dir / "Gone.exe";
    ASSERT_TRUE(fixture::WriteImage(
        path, fixture::PeWithVersion(fixture::EncodeWideBlock(
                  fixture::MakeVersionTree(fixture::SimpleVersionInfo("W", "A"))))));
    WIN32_FIND_DATAA record{};
    HANDLE listing = FindFirstFileA((dir.Path() + "/*.*").c_str(), &record);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);
    while (std::string(record.cFileName) != "Gone.exe") {
        ASSERT_TRUE(FindNextFileA(listing, &record));
    }
    FindClose(listing);
    ASSERT_EQ(unlink(path.c_str()), 0);

    OutputFile output(dir / "list.txt", "w");
    ActiveOutput = &output;
    const std::int32_t before = ListedCount;
    std::string examined = path;
    ExamineFile(examined, record);
    ActiveOutput = nullptr;
    EXPECT_EQ(ListedCount, before);
    EXPECT_EQ(output.Close(), S_OK);
    EXPECT_EQ(test_support::ReadFile(dir / "list.txt"), "");
}

#endif

// The find record's time is read the way the listing reads it; whatever the record holds itself
// is that time or no time at all, never a date that is not the file's (POSIX leaves it unread).
TEST(FindRecord, GivesTheModificationTimeAsTheListingReadsIt) {
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / "quillet-find-record";
    std::filesystem::create_directories(directory);
    const std::string path = (directory / "Now.exe").string();
    std::ofstream(path) << "written now";
    WIN32_FIND_DATAA record{};
    HANDLE listing =
        FindFirstFileA((directory.string() + platform::kSearchSuffix).c_str(), &record);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);
    while (std::string(record.cFileName) != "Now.exe") {
        ASSERT_TRUE(FindNextFileA(listing, &record));
    }
    FindClose(listing);
    FILETIME written{};
    SYSTEMTIME calendar{};
    ASSERT_TRUE(platform::GetLastWriteTime(path.c_str(), record, written));
    ASSERT_TRUE(FileTimeToSystemTime(&written, &calendar));
    const std::time_t now = std::time(nullptr);
    const std::tm* utc = std::gmtime(&now);
    EXPECT_EQ(calendar.wYear, utc->tm_year + 1900);
    EXPECT_EQ(calendar.wMonth, utc->tm_mon + 1);
    SYSTEMTIME held{};
    if (FileTimeToSystemTime(&record.ftLastWriteTime, &held)) {
        EXPECT_EQ(held.wYear, calendar.wYear);
        EXPECT_EQ(held.wDay, calendar.wDay);
    }
    std::filesystem::remove_all(directory);
}

TEST(Progress, MarksEveryFiftiethFileAndBreaksTheLineEveryFiveHundred) {
    std::string console;
    for (std::int32_t listed = 0; listed < 1234; ++listed) {
        console += ProgressMarker(listed);
    }
    EXPECT_EQ(console,
              "   0..   50..  100..  150..  200..  250..  300..  350..  400..  450..  500.. \n"
              " 550..  600..  650..  700..  750..  800..  850..  900..  950.. 1000.. \n"
              "1050.. 1100.. 1150.. 1200.. ");
    EXPECT_EQ(ProgressMarker(10000), "10000.. \n");
    EXPECT_EQ(ProgressMarker(1), "");
}

}  // namespace
