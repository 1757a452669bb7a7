// quillet-inventory, run as a user runs it, on trees of the fixture writer's files: the records'
// values, their formats (JSON Lines, CSV, SQLite), and what a run that cannot read or write does.

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/bytes.h"
#include "fixtures/executable_writer.h"
#include "fixtures/version_resource_writer.h"
#include "support/fuse_mount.h"
#include "support/test_support.h"

namespace {

using namespace fixture;
using test_support::LinesOf;
using test_support::MakeDirectories;
using test_support::ReadFile;
using test_support::RunProgram;
using test_support::RunQuillet;
using test_support::RunResult;
using test_support::TempDir;

constexpr std::time_t kMarch15th2024 = 1710506096;  // 2024-03-15 12:34:56 UTC

RunResult Inventory(const std::vector<std::string>& arguments) {
    return RunProgram(QUILLET_INVENTORY_BINARY, arguments);
}

std::vector<rapidjson::Document> Records(const std::string& jsonLines) {
    std::vector<rapidjson::Document> records;
    std::size_t start = 0;
    for (std::size_t end; (end = jsonLines.find('\n', start)) != std::string::npos;
         start = end + 1) {
        records.emplace_back().Parse(jsonLines.substr(start, end - start).c_str());
        EXPECT_FALSE(records.back().HasParseError()) << jsonLines.substr(start, end - start);
    }
    EXPECT_EQ(start, jsonLines.size()) << "the last record ends in a line feed";
    return records;
}

// The record whose path ends in name.
const rapidjson::Document& RecordOf(const std::vector<rapidjson::Document>& records,
                                    const std::string& name) {
    for (const auto& record : records) {
        const std::string path = record["path"].GetString();
        if (path.size() >= name.size() &&
            path.compare(path.size() - name.size(), name.size(), name) == 0) {
            return record;
        }
    }
    static const rapidjson::Document none;
    ADD_FAILURE() << "no record of " << name;
    return none;
}

std::string Text(const rapidjson::Value& value) {
    return value.IsNull() ? "null" : std::string(value.GetString(), value.GetStringLength());
}

// The fixed record with chosen versions, flags and type (VS_FIXEDFILEINFO, field by field).
Bytes FixedRecord(std::array<std::uint16_t, 4> file, std::array<std::uint16_t, 4> product,
                  std::uint32_t mask, std::uint32_t flags, std::uint32_t type) {
    Bytes out;
    Put32(out, 0xFEEF04BD);
    Put32(out, 0x00010000);
    for (const auto& version : {file, product}) {
        Put32(out, std::uint32_t{version[0]} << 16 | version[1]);
        Put32(out, std::uint32_t{version[2]} << 16 | version[3]);
    }
    Put32(out, mask);
    Put32(out, flags);
    Put32(out, 0x00040004);  // VOS_NT_WINDOWS32
    Put32(out, type);
    for (int rest = 0; rest < 3; ++rest) {
        Put32(out, 0);
    }
    return out;
}

const std::vector<std::pair<std::string, std::string>> kStrings = {
    {"CompanyName", "Acme, \"Tools\"\tLtd."},
    {"ProductName", "Widget   Pro"},
    {"OriginalFilename", "widget.exe"},
    {"Comments", "line one\r\nline two"},
    {"Build Host",
     "b\xC3\xBC"
     "ild-07"},
    {"LegalCopyright", std::string(300, 'c')},
    {"FileDescription", ""},
};

// A PE file whose first translation's table holds kStrings (and, after them, CompanyName again,
// which no query can reach), the second translation's another table.
ImageFile RichProgram() {
    VersionInfo info;
    info.translations = {{0x0407, 0x04E4}, {0x0409, 0x04B0}};
    info.stringTables = {{"040704E4", kStrings}, {"040904B0", {{"CompanyName", "Other"}}}};
    info.stringTables[0].strings.push_back({"companyname", "Hidden"});
    VersionNode root = MakeVersionTree(info);
    // Special build is set but masked out; 0x40 names no flag.
    root.binary = FixedRecord({5, 6, 7, 8}, {5, 6, 0, 0}, 0x1F, 0x01 | 0x08 | 0x20 | 0x40, 2);
    PeOptions options;
    options.pe32Plus = true;
    options.machine = Machine::Arm64;
    options.dotNet = true;
    options.resources = {VersionResource(EncodeWideBlock(root))};
    return BuildPe(options);
}

ImageFile Program(const std::string& product, std::array<std::uint16_t, 4> version) {
    return PeWithVersion(
        EncodeWideBlock(MakeVersionTree(SimpleVersionInfo(product, "Acme", version))));
}

class InventoryRun : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeDirectories(dir / "tree/Apps/Old");
        Write("Apps/Widget.exe", RichProgram());
        Write("Apps/Old/LEGACY.DLL", NeWithVersion(EncodeNarrowBlock(MakeVersionTree(
                                         SimpleVersionInfo("Old \xE9"
                                                           "dition",
                                                           "Acme (1994)", {3, 1, 0, 7})))));
        Write("Apps/Plain.ocx", BuildPe(PeOptions{}));
        test_support::WriteText(dir / "tree/Apps/notes.txt", "not a program\n");
    }
    void Write(const std::string& path, const ImageFile& image) {
        ASSERT_TRUE(WriteImage(dir / ("tree/" + path), image));
        test_support::SetModificationTime(dir / ("tree/" + path), kMarch15th2024);
    }
    std::string Tree() const { return dir / "tree"; }

    TempDir dir;
};

TEST_F(InventoryRun, RecordsEveryValueOfTheFirstTranslationAsTheQueryAnswersIt) {
    // A CLR header named past the data directories' count is no CLR header.
    Write("Apps/Old/Cut.exe", Damaged(RichProgram(), [](Bytes& bytes, const ImageLayout& layout) {
              Patch32(bytes, layout.dataDirectoryCountField, 14);
          }));
    const RunResult run = Inventory({"--host", "alpha", Tree()});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    const auto records = Records(run.output);
    ASSERT_EQ(records.size(), 3u) << run.output;
    EXPECT_FALSE(RecordOf(records, "/Cut.exe")["managed"].GetBool());
    const rapidjson::Document& widget = RecordOf(records, "/Widget.exe");
    std::vector<std::string> keys;
    for (const auto& member : widget.GetObject()) {
        keys.emplace_back(member.name.GetString());
    }
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "schema",    "host",          "scan_started",     "path",
                        "size",      "modified",      "format",           "machine",
                        "managed",   "file_version",  "product_version",  "file_flags",
                        "file_type", "language",      "code_page",        "strings",
                        "error",     "image",         "partition",        "deleted",
                        "compiled",  "subsystem",     "pdb_path",         "pdb_id",
                        "imphash",   "assembly_name", "assembly_version", "signature"}));
    EXPECT_EQ(widget["schema"].GetInt(), 3);
    EXPECT_EQ(Text(widget["host"]), "alpha");
    EXPECT_EQ(Text(widget["path"]), Tree() + "/Apps/Widget.exe");
    EXPECT_EQ(widget["size"].GetUint64(), RichProgram().Size());
    EXPECT_EQ(Text(widget["modified"]), "2024-03-15T12:34:56Z");
    EXPECT_EQ(Text(widget["format"]), "PE32+");
    EXPECT_EQ(Text(widget["machine"]), "ARM64");
    EXPECT_TRUE(widget["managed"].GetBool());
    EXPECT_EQ(Text(widget["file_version"]), "5.6.7.8");
    EXPECT_EQ(Text(widget["product_version"]), "5.6.0.0");
    ASSERT_EQ(widget["file_flags"].Size(), 2u);  // 0x40 lies outside the mask
    EXPECT_EQ(Text(widget["file_flags"][0]), "debug");
    EXPECT_EQ(Text(widget["file_flags"][1]), "privatebuild");
    EXPECT_EQ(Text(widget["file_type"]), "dll");
    EXPECT_EQ(Text(widget["language"]), "0407");
    EXPECT_EQ(Text(widget["code_page"]), "04E4");
    std::vector<std::pair<std::string, std::string>> strings;
    for (const auto& member : widget["strings"].GetObject()) {
        strings.emplace_back(member.name.GetString(), Text(member.value));
    }
    EXPECT_EQ(strings, kStrings);
    EXPECT_TRUE(widget["error"].IsNull());

    const rapidjson::Document& legacy = RecordOf(records, "/LEGACY.DLL");
    EXPECT_EQ(Text(legacy["path"]), Tree() + "/Apps/Old/LEGACY.DLL");
    EXPECT_EQ(Text(legacy["format"]), "NE");
    EXPECT_TRUE(legacy["machine"].IsNull());
    EXPECT_EQ(Text(legacy["strings"]["ProductName"]),
              "Old \xC3\xA9"
              "dition");
    EXPECT_EQ(Text(legacy["scan_started"]), Text(widget["scan_started"]));
}

TEST_F(InventoryRun, RecordsTheFilesQuilletListsInItsOrderAndWithAllTheOthersToo) {
    for (int index = 0; index < 30; ++index) {
        Write("Apps/Old/p" + std::to_string(index) + ".exe", Program("P", {1, 0, 0, 0}));
    }
    ASSERT_EQ(RunQuillet({Tree(), dir / "listing.txt"}).exitCode, 0);
    std::vector<std::string> listed;
    for (const std::string& line : LinesOf(ReadFile(dir / "listing.txt"))) {
        listed.push_back(line.substr(line.rfind('\t') + 1, line.size() - line.rfind('\t') - 3));
    }
    const auto lowerCase = [](std::string text) {
        for (char& character : text) {
            character = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
        }
        return text;
    };
    std::vector<std::string> recorded;
    for (const auto& record : Records(Inventory({Tree()}).output)) {
        recorded.push_back(lowerCase(Text(record["path"])));
    }
    EXPECT_EQ(recorded, listed);

    const RunResult all = Inventory({"--all", "--format", "csv", Tree()});
    EXPECT_NE(all.output.find("\r\n3,"), std::string::npos);
    const std::string plain = Tree() + "/Apps/Plain.ocx";
    EXPECT_NE(all.output.find("," + plain + "," + std::to_string(BuildPe(PeOptions{}).Size()) +
                              ",2024-03-15T12:34:56Z,PE32,x86,false,,,,,,,,"),
              std::string::npos)
        << all.output;
    EXPECT_EQ(all.output.find("notes.txt"), std::string::npos);
}

TEST_F(InventoryRun, HashesMatchSha256sumForEveryRecordedFile) {
    const RunResult run = Inventory({"--sha256", "--all", Tree()});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    const auto records = Records(run.output);
    ASSERT_EQ(records.size(), 3u);
    for (const auto& record : records) {
        const RunResult sum = RunProgram("/usr/bin/sha256sum", {Text(record["path"])});
        EXPECT_EQ(Text(record["sha256"]), sum.output.substr(0, 64)) << Text(record["path"]);
    }
}

TEST_F(InventoryRun, CsvQuotesWhatNeedsItAndTellsEmptyFromAbsent) {
    const RunResult run = Inventory({"--format", "csv", "--host", "h,1", Tree()});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    const auto lines = LinesOf(run.output);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "schema,host,scan_started,path,size,modified,format,machine,managed,file_version,"
              "product_version,file_flags,file_type,language,code_page,CompanyName,"
              "FileDescription,FileVersion,InternalName,LegalCopyright,OriginalFilename,"
              "ProductName,ProductVersion,Comments,LegalTrademarks,PrivateBuild,SpecialBuild,"
              "error,image,partition,deleted,compiled,subsystem,pdb_path,pdb_id,imphash,"
              "assembly_name,assembly_version,signature_status,digest_algorithm,signer,"
              "signer_subject,issuer,serial,thumbprint,program_name,signing_time,catalog,"
              "nested_signatures\r\n");
    const std::string widget = run.output.substr(lines[0].size());
    EXPECT_EQ(widget.substr(0, 6), "3,\"h,1");
    EXPECT_NE(widget.find(",debug|privatebuild,dll,0407,04E4,\"Acme, \"\"Tools\"\"\tLtd.\",\"\",,,"
                          "ccc"),
              std::string::npos)
        << widget;
    // No image or partition; no time stamp, a console program; unsigned (not asked for).
    EXPECT_NE(widget.find(",widget.exe,Widget   Pro,,\"line one\r\nline two\",,,,,,,false,,console,"
                          ",,,,,,,,,,,,,,,\r\n"),
              std::string::npos)
        << widget;
}

std::string Sqlite(const std::string& database, const std::string& query) {
    return RunProgram("/usr/bin/sqlite3", {database, query}).output;
}

TEST_F(InventoryRun, SqliteHoldsScansFilesAndEveryStringAndAppendsAScan) {
    if (std::system("command -v sqlite3 > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "sqlite3 is not installed";
    }
    const std::string database = dir / "inventory.db";
    ASSERT_EQ(Inventory({"--format", "sqlite", "-o", database, "--host", "a", Tree()}).exitCode, 0);
    EXPECT_EQ(Sqlite(database, "SELECT id, host, schema, finished >= started FROM scans"),
              "1|a|3|1\n");
    EXPECT_EQ(Sqlite(database,
                     "SELECT f.\"OriginalFilename\", f.file_flags, count(s.name) FROM files f "
                     "JOIN strings s ON s.file_id = f.id WHERE f.path LIKE '%Widget.exe'"),
              "widget.exe|debug|privatebuild|7\n");
    EXPECT_EQ(Sqlite(database, "SELECT value FROM strings WHERE name = 'Build Host'"),
              "b\xC3\xBCild-07\n");
    ASSERT_EQ(Inventory({"--format", "sqlite", "-o", database, "--append", "--host", "b", Tree()})
                  .exitCode,
              0);
    EXPECT_EQ(Sqlite(database,
                     "SELECT s.host, count(*) FROM files f JOIN scans s ON "
                     "s.id = f.scan_id GROUP BY s.id ORDER BY s.id"),
              "a|2\nb|2\n");
    // Replaced without --append.
    ASSERT_EQ(Inventory({"--format", "sqlite", "-o", database, Tree()}).exitCode, 0);
    EXPECT_EQ(Sqlite(database, "SELECT count(*) FROM scans"), "1\n");
}

TEST_F(InventoryRun, NamesThatAreNotUtf8StayExactInEveryFormat) {
    Write("Apps/caf\xE9.dll", Program("Caf", {1, 0, 0, 0}));
    Write(
        "Apps/\xC3\x9C"
        "ber.dll",
        Program("Uber", {1, 0, 0, 0}));
    const RunResult json = Inventory({Tree()});
    const std::string tree = Tree();
    EXPECT_NE(json.output.find("\"path\":\"" + tree + "/Apps/caf\\udce9.dll\""), std::string::npos)
        << json.output;
    EXPECT_NE(json.output.find("/Apps/\xC3\x9C"
                               "ber.dll\""),
              std::string::npos);
    const RunResult csv = Inventory({"--format", "csv", Tree()});
    EXPECT_NE(csv.output.find(std::string(",").append(tree).append("/Apps/caf\xE9.dll,")),
              std::string::npos);
}

TEST_F(InventoryRun, UsageOutputAndReadFailuresHaveTheirExitCodes) {
    EXPECT_EQ(Inventory({}).exitCode, 1);
    EXPECT_EQ(Inventory({"--format", "xml", Tree()}).exitCode, 1);
    EXPECT_EQ(Inventory({"--format", "sqlite", Tree()}).exitCode, 1);
    EXPECT_EQ(Inventory({"--bogus", Tree()}).exitCode, 1);
    EXPECT_EQ(Inventory({Tree(), ""}).exitCode, 1);
    const RunResult help = Inventory({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.output.find("Usage: quillet-inventory"), 0u);

    const RunResult full = Inventory({"-o", "/dev/full", Tree()});
    EXPECT_EQ(full.exitCode, 3);
    EXPECT_NE(full.errors.find("cannot write the output"), std::string::npos);

    const RunResult missing = Inventory({Tree(), dir / "no-such-tree"});
    EXPECT_EQ(missing.exitCode, 4);
    EXPECT_EQ(Records(missing.output).size(), 2u);
    EXPECT_NE(missing.errors.find("cannot read '" + dir / "no-such-tree" + "'"), std::string::npos)
        << missing.errors;
}

// CSV records hold line breaks inside quoted values: a write that fails still leaves whole
// records, never an open quote for the next run's rows to fall into.
TEST_F(InventoryRun, AFailedWriteLeavesWholeCsvRecordsForTheNextAppend) {
    for (int index = 0; index < 60; ++index) {
        Write("Apps/Old/w" + std::to_string(index) + ".exe", RichProgram());
    }
    const std::string csv = dir / "inventory.csv";
    const auto rows = [](const std::string& text) {  // each record's first field is its schema
        std::size_t count = 0;
        for (std::size_t at = 0; (at = text.find("\r\n3,", at)) != std::string::npos; ++at) {
            ++count;
        }
        return count;
    };
    // Limits that fall inside a value's line break, which a run's records place alike.
    ASSERT_EQ(Inventory({"--format", "csv", "-o", csv, Tree()}).exitCode, 0);
    const std::string whole = ReadFile(csv);
    std::vector<long> limits;
    for (std::size_t at = 0;
         limits.size() < 4 && (at = whole.find("one\r\nline two", at)) != std::string::npos;
         at += 4000) {
        limits.push_back(static_cast<long>(at) + 8);
    }
    ASSERT_EQ(limits.size(), 4u);
    for (const long limit : limits) {
        test_support::RunOptions limited;
        limited.fileSizeLimit = limit;
        const RunResult cut =
            RunProgram(QUILLET_INVENTORY_BINARY, {"--format", "csv", "-o", csv, Tree()}, limited);
        EXPECT_EQ(cut.exitCode, 3);
        EXPECT_EQ(cut.errors, "quillet-inventory: cannot write the output: File too large\n");
        const std::string kept = ReadFile(csv);
        EXPECT_EQ(std::count(kept.begin(), kept.end(), '"') % 2, 0) << "cut at " << limit;
        EXPECT_TRUE(kept.ends_with("\r\n")) << "cut at " << limit;
        ASSERT_EQ(Inventory({"--format", "csv", "-o", csv, "--append", Tree()}).exitCode, 0);
        EXPECT_EQ(rows(ReadFile(csv)), rows(kept) + 62) << "cut at " << limit;
    }
}

// An append goes onto a file of its own format and columns only, else it is refused and the file
// left as it was; runs appending at once each land whole under one header; what is not a regular
// file is never read to see what it holds.
TEST_F(InventoryRun, AppendsThatCannotMixAreRefusedAndThoseAtOnceLandWhole) {
    const std::string csv = dir / "inventory.csv";
    std::vector<std::thread> runs;
    for (int run = 0; run < 4; ++run) {
        runs.emplace_back([&] { Inventory({"--format", "csv", "-o", csv, "--append", Tree()}); });
    }
    for (std::thread& run : runs) {
        run.join();
    }
    const std::string four = ReadFile(csv);
    EXPECT_EQ(four.rfind("schema,"), 0u);
    EXPECT_EQ(LinesOf(four).size(), 1u + 4u * 3u);  // Widget's record holds "line one\r\n..."

    const RunResult sha = Inventory({"--format", "csv", "-o", csv, "--append", "--sha256", Tree()});
    EXPECT_EQ(sha.exitCode, 3);
    EXPECT_NE(sha.errors.find("column 28 is 'error' where this run writes 'sha256'"),
              std::string::npos)
        << sha.errors;
    const RunResult json = Inventory({"-o", csv, "--append", Tree()});
    EXPECT_EQ(json.exitCode, 3);
    EXPECT_EQ(json.errors,
              "quillet-inventory: will not append JSON Lines to a file that holds CSV\n");
    EXPECT_EQ(ReadFile(csv), four);

    test_support::WriteText(csv, four + "torn");
    ASSERT_EQ(Inventory({"--format", "csv", "-o", csv, "--append", Tree()}).exitCode, 0);
    EXPECT_EQ(ReadFile(csv).find("torn\r\n3,"), four.size());

    const RunResult piped = Inventory({"--append", "-o", "/dev/stdout", Tree()});
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(Records(piped.output).size(), 2u);
    const std::string help = std::string(QUILLET_INVENTORY_BINARY) + " --help > /dev/full";
    EXPECT_EQ(WEXITSTATUS(std::system(help.c_str())), 3);
}

std::string SqliteAnswer(const std::string& database, const std::string& query,
                         const test_support::RunOptions& options = {}) {
    return RunProgram("/usr/bin/sqlite3", {database, query}, options).output;
}

// A run waits for another run's write, needs no reader to go away, takes its name as a file's,
// and when it fails leaves the database as it was for every reader, one that may not write too.
TEST_F(InventoryRun, SqliteWaitsForWritersNotReadersAndFailsCleanly) {
    if (std::system("command -v sqlite3 > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "sqlite3 is not installed";
    }
    const std::string database = dir / "inventory.db";
    ASSERT_EQ(Inventory({"--format", "sqlite", "-o", database, Tree()}).exitCode, 0);
    sqlite3* held = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &held), SQLITE_OK);
    for (const char* hold : {"BEGIN; SELECT count(*) FROM files;", "BEGIN IMMEDIATE;"}) {
        ASSERT_EQ(sqlite3_exec(held, hold, nullptr, nullptr, nullptr), SQLITE_OK);
        const bool writer = std::string(hold).starts_with("BEGIN IMMEDIATE");
        std::thread release([&] {
            // A reader is let go only after the run; a writer while it waits.
            std::this_thread::sleep_for(std::chrono::seconds(writer ? 1 : 0));
            if (writer) {
                sqlite3_exec(held, "COMMIT;", nullptr, nullptr, nullptr);
            }
        });
        const RunResult run = Inventory({"--format", "sqlite", "-o", database, "--append", Tree()});
        release.join();
        EXPECT_EQ(run.exitCode, 0) << hold << run.errors;
        sqlite3_exec(held, "COMMIT;", nullptr, nullptr, nullptr);
    }
    sqlite3_close(held);
    std::vector<std::thread> runs;
    for (int run = 0; run < 2; ++run) {
        runs.emplace_back([&] {
            Inventory({"--format", "sqlite", "-o", database, "--append", Tree()});
        });
    }
    for (std::thread& run : runs) {
        run.join();
    }
    EXPECT_EQ(SqliteAnswer(database, "SELECT count(*), count(DISTINCT scan_id) FROM files"),
              "10|5\n");

    test_support::RunOptions limited;
    limited.fileSizeLimit = 8192;
    const std::vector<std::string> append = {"--format", "sqlite",   "-o",
                                             database,   "--append", Tree()};
    EXPECT_EQ(RunProgram(QUILLET_INVENTORY_BINARY, append, limited).exitCode, 3);
    test_support::RunOptions reader;
    reader.unprivileged = true;
    EXPECT_EQ(SqliteAnswer("file:" + database + "?mode=ro", "SELECT count(*) FROM scans", reader),
              "5\n");

    test_support::RunOptions inDir;
    inDir.workingDirectory = dir.Path();
    for (const std::string name : {":memory:", "file:x.db?mode=memory"}) {
        EXPECT_EQ(
            RunProgram(QUILLET_INVENTORY_BINARY, {"--format", "sqlite", "-o", name, Tree()}, inDir)
                .exitCode,
            0);
        EXPECT_EQ(SqliteAnswer(dir / ("./" + name), "SELECT count(*) FROM files"), "2\n") << name;
    }
    const std::string other = dir / "other.db";
    SqliteAnswer(other, "CREATE TABLE files (id INTEGER PRIMARY KEY, path TEXT)");
    const RunResult refused = Inventory({"--format", "sqlite", "-o", other, "--append", Tree()});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(refused.errors.find("table files is not the one this version writes: its column 2 "
                                  "is path where this version writes scan_id"),
              std::string::npos)
        << refused.errors;
}

// What could not be read has a record saying why and is named; what is no regular file has no
// record, as it has no listing line; each directory is walked once however often it is named.
TEST_F(InventoryRun, UnreadableFilesAreNamedAndWhatIsNoFileIsLeftOut) {
    Write("Apps/Locked.dll", Program("L", {1, 0, 0, 0}));
    MakeDirectories(dir / "tree/Apps/Closed");
    ASSERT_EQ(chmod((dir / "tree/Apps/Locked.dll").c_str(), 0), 0);
    ASSERT_EQ(chmod((dir / "tree/Apps/Closed").c_str(), 0), 0);
    ASSERT_EQ(mkfifo((dir / "tree/Apps/pipe.exe").c_str(), 0644), 0);
    const int socket = test_support::BindSocket(dir / "tree/Apps/socket.dll");
    ASSERT_EQ(symlink("nowhere", (dir / "tree/Apps/dangling.ocx").c_str()), 0);
    ASSERT_EQ(symlink("loop.exe", (dir / "tree/Apps/loop.exe").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (dir / "tree/Apps/null.exe").c_str()), 0);
    test_support::RunOptions unprivileged;
    unprivileged.unprivileged = true;
    const RunResult run = RunProgram(QUILLET_INVENTORY_BINARY,
                                     {"--all", Tree(), Tree() + "/", dir / "./tree"}, unprivileged);
    close(socket);
    EXPECT_EQ(run.exitCode, 4);
    const auto records = Records(run.output);
    EXPECT_EQ(records.size(), 4u) << run.output;  // Widget, LEGACY, Plain and Locked
    EXPECT_EQ(Text(RecordOf(records, "/Locked.dll")["error"]), "Permission denied");
    EXPECT_NE(run.errors.find("cannot read '" + Tree() + "/Apps/Locked.dll': Permission denied"),
              std::string::npos)
        << run.errors;
    EXPECT_NE(run.errors.find("cannot read '" + Tree() + "/Apps/Closed': Permission denied"),
              std::string::npos)
        << run.errors;
}

// Interrupted, a run keeps the records it formed (on a slow share, the first of many).
TEST_F(InventoryRun, AnInterruptKeepsTheRecordsFormed) {
    for (int index = 0; index < 100; ++index) {
        Write("Apps/Old/w" + std::to_string(index) + ".exe", Program("W", {1, 0, 0, 0}));
    }
    MakeDirectories(dir / "share");
    test_support::FuseMount share({"--latency-us", "20000"}, Tree(), dir / "share");
    if (!share.Refusal().empty()) {
        GTEST_SKIP() << share.Refusal();
    }
    const pid_t run = test_support::StartProgram(QUILLET_INVENTORY_BINARY,
                                                 {"-o", dir / "records.jsonl", dir / "share"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(run, SIGTERM);
    int status = 0;
    waitpid(run, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it was interrupted";
    const std::size_t kept = Records(ReadFile(dir / "records.jsonl")).size();
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, 102u);
}

// The twelve standard names in their standard case, whatever case a table gives them; names of a
// 16-bit file's table beyond ASCII; a host name's bytes as a path's; a large table whole.
TEST_F(InventoryRun, NamesOfEveryTableAreExactAndEasyToAskFor) {
    VersionInfo narrow = SimpleVersionInfo("Old", "Acme", {3, 1, 0, 7});
    narrow.stringTables[0].strings = {
        {"companyname", "Acme"}, {"PRODUCTNAME", "Old"}, {"Caf\xE9\x80", "cr\xE8me"}};
    Write("Apps/Old/LEGACY.DLL", NeWithVersion(EncodeNarrowBlock(MakeVersionTree(narrow))));
    // As many names as a block's 64 KiB hold, each one character (U+4E00 on) with no value.
    VersionInfo large = SimpleVersionInfo("Large", "Acme");
    for (char32_t name = 0x4E00; name < 0x4E00 + 3000; ++name) {
        large.stringTables[0].strings.emplace_back(
            std::string{static_cast<char>(0xE0 | (name >> 12)),
                        static_cast<char>(0x80 | ((name >> 6) & 0x3F)),
                        static_cast<char>(0x80 | (name & 0x3F))},
            "");
    }
    Write("Apps/Large.dll", PeWithVersion(EncodeWideBlock(MakeVersionTree(large))));
    const RunResult run = Inventory({"--host", "pc\xFF", Tree()});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_NE(run.output.find("\"host\":\"pc\\udcff\""), std::string::npos);
    const auto records = Records(run.output);
    std::vector<std::string> names;
    for (const auto& member : RecordOf(records, "/LEGACY.DLL")["strings"].GetObject()) {
        names.emplace_back(member.name.GetString());
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"CompanyName", "ProductName", "Caf\xC3\xA9\xE2\x82\xAC"}));
    EXPECT_EQ(Text(RecordOf(records, "/LEGACY.DLL")["strings"]["Caf\xC3\xA9\xE2\x82\xAC"]),
              "cr\xC3\xA8me");
    const auto& table = RecordOf(records, "/Large.dll")["strings"];
    ASSERT_EQ(table.MemberCount(), 2u + 3000u);
    EXPECT_EQ(std::string((table.MemberEnd() - 1)->name.GetString()), "\xE5\xA6\xB7");  // U+59B7
}

}  // namespace
