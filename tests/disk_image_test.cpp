// quillet-inventory on disk images it reads without mounting them: images the tests make with
// Debian's tools (mkntfs and ntfscp, mtools, sfdisk, ewfacquire) holding the fixture writer's
// program files, compared where FUSE allows with the same volume mounted by ntfs-3g.

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures/executable_writer.h"
#include "fixtures/version_resource_writer.h"
#include "support/test_support.h"

namespace {

using namespace fixture;
using test_support::ReadFile;
using test_support::RunProgram;
using test_support::RunResult;
using test_support::TempDir;

constexpr std::time_t kMarch15th2024 = 1710506096;  // 2024-03-15 12:34:56 UTC

ImageFile Program(const std::string& product) {
    return PeWithVersion(
        EncodeWideBlock(MakeVersionTree(SimpleVersionInfo(product, "Acme", {1, 2, 3, 4}))));
}

// Runs a tool with a shell's quoting, standard output and error to the test's log; its exit code.
int Tool(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Have(const std::string& tool) {
    return Tool("command -v " + tool + " >/dev/null 2>&1 || test -x /usr/sbin/" + tool) == 0;
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

struct Record {
    std::string path;
    std::string product;  // ProductName, or "-" without one
    std::string modified;
    std::string partition;  // "null" for none
    bool deleted = false;
    std::string error;
};

std::vector<Record> RecordsOf(const std::string& jsonLines) {
    std::vector<Record> records;
    std::size_t start = 0;
    for (std::size_t end; (end = jsonLines.find('\n', start)) != std::string::npos;
         start = end + 1) {
        rapidjson::Document line;
        line.Parse(jsonLines.substr(start, end - start).c_str());
        EXPECT_FALSE(line.HasParseError());
        if (line.HasParseError()) {
            continue;
        }
        const auto text = [&line](const char* key) {
            return line[key].IsNull() ? std::string("null") : std::string(line[key].GetString());
        };
        const auto& strings = line["strings"];
        records.push_back({text("path"),
                           strings.IsObject() && strings.HasMember("ProductName")
                               ? strings["ProductName"].GetString()
                               : "-",
                           text("modified"), text("partition"), line["deleted"].GetBool(),
                           text("error")});
    }
    return records;
}

std::vector<std::string> PathsOf(const std::vector<Record>& records) {
    std::vector<std::string> paths;
    for (const Record& record : records) {
        paths.push_back(record.path);
    }
    return paths;
}

// Records with what differs from run to run and source to source taken out: the time the scan
// started, the image's keys, and prefix (the start of each path).
std::string Normalised(std::string lines, const std::string& prefix) {
    for (std::size_t at = 0; (at = lines.find("\"scan_started\"", at)) != std::string::npos;) {
        lines.erase(at, lines.find("\"path\"", at) - at);
        ++at;
    }
    for (std::size_t at; (at = lines.find(",\"image\":")) != std::string::npos;) {
        lines.erase(at, lines.find(",\"deleted\"", at) - at);
    }
    for (std::size_t at; (at = lines.find(prefix)) != std::string::npos;) {
        lines.erase(at, prefix.size());
    }
    return lines;
}

RunResult Inventory(const std::vector<std::string>& arguments) {
    return RunProgram(QUILLET_INVENTORY_BINARY, arguments);
}

class DiskImages : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"mkntfs", "ntfscp", "mformat", "mcopy", "sfdisk", "ewfacquire"}) {
            if (!Have(tool)) {
                GTEST_SKIP() << tool << " is not installed (packages ntfs-3g, mtools, fdisk, "
                             << "ewf-tools): the disk-image tests are skipped";
            }
        }
    }

    // A program file of the fixture writer's, its time set, ready to be copied in.
    std::string Made(const std::string& name, const ImageFile& image) {
        const std::string path = dir / ("files/" + name);
        test_support::MakeDirectories(dir / "files");
        EXPECT_TRUE(WriteImage(path, image));
        test_support::SetModificationTime(path, kMarch15th2024);
        return path;
    }

    // An NTFS volume whose root folder is large enough that its index's blocks lie on the disk in
    // another order than their names' (its files copied in in descending order, some programs
    // among them), with programs whose names order differently by bytes, by letter case and by
    // letters beyond ASCII.
    std::string NtfsImage() {
        const std::string image = dir / "ntfs.img";
        EXPECT_EQ(
            Tool("truncate -s 8M " + image + " && mkntfs -F -q -f " + image + " >/dev/null 2>&1"),
            0);
        const std::string filler = Made("filler.txt", {});
        std::string copies;
        for (int number = 300; number > 0; --number) {
            char name[64];
            std::snprintf(name, sizeof name, "f%03d-a long name that fills index blocks.txt",
                          number);
            copies += "ntfscp -q " + image + " " + filler + " " + Quoted(name) + " && ";
            for (const char* program : {"f250.exe", "F200.exe", "f120ä.exe", "f010.exe"}) {
                if (std::string(program).compare(1, 3, name + 1, 3) == 0) {
                    copies += "ntfscp -q " + image + " " + Made(program, Program(program)) + " " +
                              Quoted(program) + " && ";
                }
            }
        }
        EXPECT_EQ(Tool(copies + "true"), 0);
        for (const char* name : {"zeta.exe", "_under.exe", "Änderung.exe", "alpha.dll", "Beta.OCX",
                                 "ärger.exe", "Zulu.dll"}) {
            const std::string file = Made(name, Program(std::string("Product ") + name));
            EXPECT_EQ(Tool("ntfscp -q -t " + image + " " + Quoted(file) + " " + Quoted(name)), 0);
        }
        const std::string plain = Made("readme.exe", BuildPe({}));
        EXPECT_EQ(Tool("ntfscp -q -t " + image + " " + plain + " readme.exe"), 0);
        return image;
    }

    // A FAT volume with folders, a hidden one, and a program deleted after it was copied in. Its
    // times are written as UTC.
    std::string FatImage() {
        const std::string image = dir / "fat.img";
        const std::string widget = Made("widget.exe", Program("Widget"));
        const std::string helper = Made("helper.dll", Program("Helper"));
        const std::string gone = Made("removed.exe", Program("Removed"));
        EXPECT_EQ(
            Tool("mformat -C -i " + image + " -h 2 -s 32 -t 64 :: && " +  //
                 "mmd -i " + image + " ::/Apps ::/Apps/Bin ::/.cache && " + "TZ=UTC mcopy -m -i " +
                 image + " " + widget + " ::/Apps/Widget.exe && " + "TZ=UTC mcopy -m -i " + image +
                 " " + helper + " ::/Apps/Bin/HELPER.DLL && " + "TZ=UTC mcopy -m -i " + image +
                 " " + widget + " ::/.cache/Hidden.exe && " + "TZ=UTC mcopy -m -i " + image + " " +
                 gone + " ::/Apps/Removed.exe && " + "mdel -i " + image + " ::/Apps/Removed.exe"),
            0);
        return image;
    }

    TempDir dir;
};

// A folder is listed in the order its file system holds it (for NTFS its index's root, then its
// blocks as they lie: not the names' order), as ntfs-3g lists it; the walk's rules hold inside an
// image; FAT's zoneless times are UTC, whatever the zone of the run.
TEST_F(DiskImages, FileSystemsAreListedInTheirOwnOrderWithTheValuesOfTheirFiles) {
    const RunResult ntfs = Inventory({"--all", NtfsImage()});
    ASSERT_EQ(ntfs.exitCode, 0) << ntfs.errors;
    const std::vector<Record> records = RecordsOf(ntfs.output);
    EXPECT_EQ(PathsOf(records),
              (std::vector<std::string>{"/alpha.dll", "/Beta.OCX", "/readme.exe", "/zeta.exe",
                                        "/Zulu.dll", "/_under.exe", "/Änderung.exe", "/ärger.exe",
                                        "/f250.exe", "/f010.exe", "/F200.exe", "/f120ä.exe"}));
    ASSERT_EQ(records.size(), 12u);
    EXPECT_EQ(records[0].product, "Product alpha.dll");
    EXPECT_EQ(records[2].product, "-");
    EXPECT_EQ(records[10].product, "F200.exe");
    EXPECT_EQ(records[0].modified, "2024-03-15T12:34:56Z");
    EXPECT_EQ(records[0].partition, "null");

    setenv("TZ", "Asia/Tokyo", 1);
    const RunResult fat = Inventory({FatImage()});
    unsetenv("TZ");
    ASSERT_EQ(fat.exitCode, 0) << fat.errors;
    const std::vector<Record> fatRecords = RecordsOf(fat.output);
    // The folder Bin was made in Apps before Widget.exe was copied there.
    EXPECT_EQ(PathsOf(fatRecords),
              (std::vector<std::string>{"/Apps/Bin/HELPER.DLL", "/Apps/Widget.exe"}));
    ASSERT_EQ(fatRecords.size(), 2u);
    EXPECT_EQ(fatRecords[1].product, "Widget");
    EXPECT_EQ(fatRecords[1].modified, "2024-03-15T12:34:56Z");
    EXPECT_FALSE(fatRecords[1].deleted);
}

// A partitioned disk gives each partition's records with its number and first sector; an E01 set
// and a split raw image give the raw image's records.
TEST_F(DiskImages, PartitionsAndEwfSetsGiveTheRecordsOfTheirFileSystems) {
    const std::string fat = FatImage();
    const std::string ntfs = NtfsImage();
    const std::string disk = dir / "disk.img";
    ASSERT_EQ(
        Tool("truncate -s 12M " + disk + " && printf 'label: dos\\nstart=2048, size=4096, " +
             "type=c\\nstart=8192, size=16384, type=7\\n' | sfdisk -q " + disk + " && " +
             "dd if=" + fat + " of=" + disk + " bs=512 seek=2048 conv=notrunc status=none && " +
             "dd if=" + ntfs + " of=" + disk + " bs=512 seek=8192 conv=notrunc status=none"),
        0);
    const RunResult partitioned = Inventory({disk});
    ASSERT_EQ(partitioned.exitCode, 0) << partitioned.errors;
    const std::vector<Record> records = RecordsOf(partitioned.output);
    ASSERT_EQ(records.size(), 13u);
    EXPECT_EQ(records[0].partition, "2@2048");
    EXPECT_EQ(records[0].path, "/Apps/Bin/HELPER.DLL");
    EXPECT_EQ(records[2].partition, "4@8192");
    EXPECT_EQ(records[2].path, "/alpha.dll");
    EXPECT_NE(partitioned.output.find("\"image\":\"" + disk + "\""), std::string::npos);

    ASSERT_EQ(
        Tool("ewfacquire -u -q -t " + dir / "ntfs" + " -S 1M -c none " + ntfs + " >/dev/null 2>&1"),
        0);
    ASSERT_TRUE(std::ifstream(dir / "ntfs.E03").good()) << "a set of several segments";
    const RunResult raw = Inventory({"--sha256", ntfs});
    const RunResult ewf = Inventory({"--sha256", dir / "ntfs.E01"});
    ASSERT_EQ(ewf.exitCode, 0) << ewf.errors;
    EXPECT_EQ(Normalised(ewf.output, "\"path\":\"/"), Normalised(raw.output, "\"path\":\"/"));
    EXPECT_EQ(RecordsOf(ewf.output).size(), 11u);

    ASSERT_EQ(Tool("split -b 3M -a 3 --numeric-suffixes=1 " + ntfs + " " + dir / "split."), 0);
    const RunResult split = Inventory({"--sha256", dir / "split.001"});
    ASSERT_EQ(split.exitCode, 0) << split.errors;
    EXPECT_EQ(Normalised(split.output, "\"path\":\"/"), Normalised(raw.output, "\"path\":\"/"));
}

TEST_F(DiskImages, DeletedProgramsAreRecordedOnlyWhenAskedFor) {
    const std::string fat = FatImage();
    const std::vector<Record> kept = RecordsOf(Inventory({fat}).output);
    const RunResult withDeleted = Inventory({"--deleted", fat});
    ASSERT_EQ(withDeleted.exitCode, 0) << withDeleted.errors;
    const std::vector<Record> all = RecordsOf(withDeleted.output);
    ASSERT_EQ(kept.size(), 2u);
    ASSERT_EQ(all.size(), 3u);
    // FAT marks a deleted entry in its name's first byte.
    EXPECT_EQ(all[2].path.substr(all[2].path.size() - 10), "emoved.exe");
    EXPECT_EQ(all[2].product, "Removed");
    EXPECT_TRUE(all[2].deleted);
}

// Each damage is named on standard error with the image, what could be read is recorded, and the
// run ends with exit code 4.
TEST_F(DiskImages, DamagedImagesAreNamedAndWhatCouldBeReadIsRecorded) {
    const std::string ntfs = NtfsImage();
    // Cut where the content of the last program written in begins.
    const std::string bytes = ReadFile(ntfs);
    const std::u16string product = ToUtf16("Product Zulu.dll");
    const std::size_t found =
        bytes.find(std::string(reinterpret_cast<const char*>(product.data()), product.size() * 2));
    ASSERT_NE(found, std::string::npos);
    const std::string truncated = dir / "truncated.img";
    test_support::WriteText(truncated, bytes.substr(0, found / 4096 * 4096));
    const RunResult cut = Inventory({truncated});
    EXPECT_EQ(cut.exitCode, 4);
    EXPECT_NE(cut.errors.find("'" + truncated + "': the image ends before its file system does"),
              std::string::npos)
        << cut.errors;
    EXPECT_NE(cut.errors.find("'" + truncated + ":/Zulu.dll': Input/output error"),
              std::string::npos);
    const std::vector<Record> cutRecords = RecordsOf(cut.output);
    // readme.exe, written in after it and without a version, has a record for its failure.
    ASSERT_EQ(cutRecords.size(), 12u) << "a record for each program, read or saying why not";
    EXPECT_EQ(cutRecords[4].path, "/Zulu.dll");
    EXPECT_EQ(cutRecords[4].error, "Input/output error");
    EXPECT_EQ(cutRecords[0].error, "null");

    ASSERT_EQ(Tool("ewfacquire -u -q -t " + dir / "set" + " -S 1M -c none " + ntfs +
                   " >/dev/null 2>&1 && rm " + dir / "set.E05"),
              0);
    const RunResult missing = Inventory({dir / "set.E01"});
    EXPECT_EQ(missing.exitCode, 4);
    EXPECT_NE(missing.errors.find("a segment is missing after " + dir / "set.E04" + ": not read"),
              std::string::npos)
        << missing.errors;
    EXPECT_EQ(missing.output, "");

    // A partition table whose second partition runs far past the end of the image.
    const std::string outside = dir / "outside.img";
    ASSERT_EQ(Tool("truncate -s 12M " + outside + " && printf 'label: dos\\nstart=2048, " +
                   "size=16384, type=7\\n' | sfdisk -q " + outside + " && dd if=" + ntfs + " of=" +
                   outside + " bs=512 seek=2048 conv=notrunc status=none && printf '\\xff\\xff" +
                   "\\x0f\\x00' | dd of=" + outside + " bs=1 seek=458 conv=notrunc status=none"),
              0);
    const RunResult past = Inventory({outside});
    EXPECT_EQ(past.exitCode, 4);
    EXPECT_NE(past.errors.find(outside + ":2@2048': the partition table places it past the end"),
              std::string::npos)
        << past.errors;
    EXPECT_EQ(RecordsOf(past.output).size(), 11u);

    // A FAT folder /A/B whose entry is pointed at A's own cluster: B holds itself.
    const std::string looped = dir / "looped.img";
    const std::string program = Made("prog.exe", Program("Looped"));
    ASSERT_EQ(Tool("mformat -C -i " + looped + " -h 2 -s 32 -t 64 :: && mmd -i " + looped +
                   " ::/A ::/A/B && mcopy -i " + looped + " " + program + " ::/A/PROG.EXE"),
              0);
    std::string fat = ReadFile(looped);
    const auto field = [&fat](std::size_t at) {
        return static_cast<std::size_t>(static_cast<unsigned char>(fat[at]) |
                                        static_cast<unsigned char>(fat[at + 1]) << 8);
    };
    const std::size_t sector = field(11);
    const std::size_t root = (field(14) + fat[16] * field(22)) * sector;
    const std::size_t data = root + field(17) * 32;
    const std::size_t entryA = fat.find(std::string("A          \x10", 12), root);
    ASSERT_LT(entryA, data);
    const std::size_t clusterA = field(entryA + 26);
    const std::size_t clusterStart = data + (clusterA - 2) * fat[13] * sector;
    const std::size_t entryB = fat.find(std::string("B          \x10", 12), clusterStart);
    ASSERT_NE(entryB, std::string::npos);
    fat[entryB + 26] = fat[entryA + 26];
    fat[entryB + 27] = fat[entryA + 27];
    test_support::WriteText(looped, fat);
    const RunResult loop = Inventory({looped});
    EXPECT_EQ(loop.exitCode, 4);
    EXPECT_NE(loop.errors.find(looped + ":/A/B/"), std::string::npos) << loop.errors;
    EXPECT_NE(loop.errors.find("the folder leads back to one that holds it"), std::string::npos);
    EXPECT_EQ(PathsOf(RecordsOf(loop.output)),
              (std::vector<std::string>{"/A/B/PROG.EXE", "/A/PROG.EXE"}));

    const std::string noise = dir / "noise.img";
    ASSERT_EQ(Tool("head -c 2M /dev/urandom > " + noise), 0);
    const RunResult unknown = Inventory({noise});
    EXPECT_EQ(unknown.exitCode, 4);
    EXPECT_NE(unknown.errors.find("no partition table or file system the library reads"),
              std::string::npos);
}

// The same volume mounted read-only by ntfs-3g and walked as a directory gives the same records
// in the same order, paths aside.
TEST_F(DiskImages, AnNtfsImageReadDirectlyMatchesItMountedByNtfs3g) {
    const std::string image = NtfsImage();
    const std::string mount = dir / "mounted";
    test_support::MakeDirectories(mount);
    if (!Have("ntfs-3g") ||
        Tool("ntfs-3g -o ro " + image + " " + mount + " >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ntfs-3g could not mount the image here (FUSE refused)";
    }
    const RunResult mounted = Inventory({"--all", "--sha256", mount});
    Tool("fusermount3 -u " + mount + " || umount " + mount);
    const RunResult direct = Inventory({"--all", "--sha256", image});
    ASSERT_EQ(direct.exitCode, 0) << direct.errors;
    ASSERT_EQ(mounted.exitCode, 0) << mounted.errors;
    EXPECT_EQ(Normalised(direct.output, "\"path\":\"/"),
              Normalised(mounted.output, "\"path\":\"" + mount + "/"));
    EXPECT_EQ(RecordsOf(direct.output).size(), 12u);
}

}  // namespace
