// What quillet-inventory tells of where a program file came from: the build facts its headers
// carry, held against python3-pefile and monodis (mono-utils), independent readers, on files the
// fixture writer makes; and what damaged headers get.

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fixtures/bytes.h"
#include "fixtures/executable_writer.h"
#include "fixtures/version_resource_writer.h"
#include "support/test_support.h"

namespace {

using namespace fixture;
using test_support::ReadFile;
using test_support::RunProgram;
using test_support::RunResult;
using test_support::TempDir;

constexpr const char* kPython = "/usr/bin/python3";  // Debian's, which python3-pefile serves

// Each record by its file's name.
std::map<std::string, rapidjson::Document> RecordsByName(const std::string& jsonLines) {
    std::map<std::string, rapidjson::Document> records;
    std::size_t start = 0;
    for (std::size_t end; (end = jsonLines.find('\n', start)) != std::string::npos;
         start = end + 1) {
        rapidjson::Document record;
        record.Parse(jsonLines.substr(start, end - start).c_str());
        EXPECT_FALSE(record.HasParseError());
        const std::string path = record["path"].GetString();
        records[path.substr(path.rfind('/') + 1)] = std::move(record);
    }
    return records;
}

std::string TextOf(const rapidjson::Value& value) {
    return value.IsNull() ? "null" : value.GetString();
}

bool ToolsPresent(const std::vector<std::string>& commands) {
    for (const std::string& command : commands) {
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
            return false;
        }
    }
    return true;
}

Bytes VersionBlock(const std::string& product) {
    return EncodeWideBlock(MakeVersionTree(SimpleVersionInfo(product, "Contoso")));
}

// The files each build fact is held against the readers on.
struct BuiltFile {
    std::string name;
    ImageFile image;
};

std::vector<BuiltFile> FilesWithBuildFacts() {
    PeOptions native;
    native.dll = true;
    native.timeDateStamp = 1600000000;  // 2020-09-13 12:26:40 UTC
    native.resources = {VersionResource(VersionBlock("Native"))};
    native.imports = {{"KERNEL32.dll", {"CreateFileW", "ReadFile", std::uint16_t{7}}},
                      {"Helper.OCX", {"Go"}},
                      {"plain", {"Run"}}};
    native.codeView = CodeView{.rsds = true,
                               .guid = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                                        0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F},
                               .age = 42,
                               .pdbPath = "C:\\build\\native.pdb"};

    PeOptions efi;
    efi.pe32Plus = true;
    efi.machine = Machine::Amd64;
    efi.subsystem = 10;
    efi.timeDateStamp = 0x7FFFFFFF;
    efi.resources = {VersionResource(VersionBlock("Efi"))};
    efi.imports = {{"Boot.SYS", {std::uint16_t{300}, "Start"}}};
    efi.codeView =
        CodeView{.rsds = false, .signature = 0x5E7A11ED, .age = 0x1F, .pdbPath = "efi.pdb"};

    PeOptions managed;
    managed.dll = true;
    managed.dotNet = true;
    managed.assembly = Assembly{.name = "Contoso.Widgets", .version = {3, 1, 4, 1}};
    managed.resources = {VersionResource(VersionBlock("Managed"))};
    managed.imports = {{"mscoree.dll", {"_CorDllMain"}}};

    PeOptions bare;  // no time stamp, imports, CodeView or metadata
    bare.resources = {VersionResource(VersionBlock("Bare"))};

    return {
        {"native.dll", BuildPe(native)},
        {"efi.exe", BuildPe(efi)},
        {"managed.dll", BuildPe(managed)},
        {"bare.exe", BuildPe(bare)},
        {"old.exe",
         NeWithVersion(EncodeNarrowBlock(MakeVersionTree(SimpleVersionInfo("Old", "Contoso"))))}};
}

// What monodis --assembly says an assembly's name and version are.
std::pair<std::string, std::string> MonodisAssembly(const std::string& path) {
    const RunResult run = RunProgram("/usr/bin/monodis", {"--assembly", path});
    std::string name;
    std::string version;
    std::size_t start = 0;
    for (std::size_t end; (end = run.output.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string line = run.output.substr(start, end - start);
        const auto valueOf = [&line](const std::string& key) {
            const std::size_t value = line.find_first_not_of(' ', key.size());
            return value == std::string::npos ? std::string() : line.substr(value);
        };
        if (line.rfind("Name:", 0) == 0) {
            name = valueOf("Name:");
        } else if (line.rfind("Version:", 0) == 0) {
            version = valueOf("Version:");
        }
    }
    return {name, version};
}

TEST(BuildFacts, AgreeWithPefileAndMonodisAndTheValuesWritten) {
    if (!ToolsPresent({std::string(kPython) + " -c 'import pefile'", "test -x /usr/bin/monodis"})) {
        GTEST_SKIP() << "python3-pefile and mono-utils are needed to cross-check the build facts";
    }
    TempDir tree;
    std::vector<std::string> peFiles;
    for (const BuiltFile& file : FilesWithBuildFacts()) {
        ASSERT_TRUE(WriteImage(tree.Path() + "/" + file.name, file.image));
        if (file.name != "old.exe") {
            peFiles.push_back(tree.Path() + "/" + file.name);
        }
    }
    const RunResult run = RunProgram(QUILLET_INVENTORY_BINARY, {tree.Path()});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    auto records = RecordsByName(run.output);
    ASSERT_EQ(records.size(), 5u) << run.output;

    // The values the fixtures were made with.
    EXPECT_EQ(TextOf(records["native.dll"]["compiled"]), "2020-09-13T12:26:40Z");
    EXPECT_EQ(TextOf(records["native.dll"]["subsystem"]), "gui");
    EXPECT_EQ(TextOf(records["native.dll"]["pdb_path"]), "C:\\build\\native.pdb");
    EXPECT_EQ(TextOf(records["native.dll"]["pdb_id"]), "030201000504070608090A0B0C0D0E0F2A");
    EXPECT_EQ(TextOf(records["efi.exe"]["compiled"]), "2038-01-19T03:14:07Z");
    EXPECT_EQ(TextOf(records["efi.exe"]["subsystem"]), "efi_application");
    EXPECT_EQ(TextOf(records["efi.exe"]["pdb_id"]), "5E7A11ED1F");
    EXPECT_EQ(TextOf(records["managed.dll"]["assembly_name"]), "Contoso.Widgets");
    EXPECT_EQ(TextOf(records["managed.dll"]["assembly_version"]), "3.1.4.1");
    EXPECT_EQ(TextOf(records["bare.exe"]["subsystem"]), "console");
    for (const char* key : {"compiled", "pdb_path", "pdb_id", "imphash", "assembly_name"}) {
        EXPECT_TRUE(records["bare.exe"][key].IsNull()) << key;
        EXPECT_TRUE(records["old.exe"][key].IsNull()) << key;
    }
    EXPECT_TRUE(records["old.exe"]["subsystem"].IsNull());
    EXPECT_TRUE(records["native.dll"]["assembly_name"].IsNull());

    // Every value against pefile's, the import hash above all (its rules are pefile's).
    std::vector<std::string> arguments = {PEFILE_FACTS_SCRIPT};
    arguments.insert(arguments.end(), peFiles.begin(), peFiles.end());
    const RunResult pefile = RunProgram(kPython, arguments);
    ASSERT_EQ(pefile.exitCode, 0) << pefile.errors;
    const auto expected = RecordsByName(pefile.output);
    ASSERT_EQ(expected.size(), peFiles.size());
    for (const auto& [name, facts] : expected) {
        for (const char* key : {"compiled", "subsystem", "pdb_path", "pdb_id", "imphash"}) {
            EXPECT_EQ(TextOf(records[name][key]), TextOf(facts[key])) << name << " " << key;
        }
    }
    EXPECT_NE(TextOf(records["native.dll"]["imphash"]), TextOf(records["efi.exe"]["imphash"]));

    const auto [assemblyName, assemblyVersion] = MonodisAssembly(tree.Path() + "/managed.dll");
    EXPECT_EQ(TextOf(records["managed.dll"]["assembly_name"]), assemblyName);
    EXPECT_EQ(TextOf(records["managed.dll"]["assembly_version"]), assemblyVersion);
}

// A test PKI (tests/support/make_test_pki) and files signed under it by osslsigncode, one for
// each verdict; made once for the tests below.
class SignedFiles : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder = new TempDir();
        pki = folder->Path() + "/pki";
        tree = folder->Path() + "/tree";
        ready = test_support::MakeTestPki(pki) && std::filesystem::create_directory(tree) &&
                MakeFiles();
    }
    static void TearDownTestSuite() {
        delete folder;
        folder = nullptr;
    }
    void SetUp() override {
        if (!ready) {
            GTEST_SKIP() << "osslsigncode and openssl are needed to sign the test files";
        }
    }

    static bool Sign(const std::string& in, const std::string& out, const std::string& key,
                     const std::string& digest, const std::string& more = "") {
        return test_support::SignWithTestPki(pki, key, digest, in, out, more);
    }
    static std::string Stamp(const std::string& unixTime) {
        return "-TSA-certs " + pki + "/tsa-chain.pem -TSA-key " + pki + "/tsa.key -TSA-time " +
               unixTime;
    }

    static bool MakeFiles() {
        PeOptions program;
        program.resources = {VersionResource(VersionBlock("Widgets"))};
        program.imports = {{"KERNEL32.dll", {"ExitProcess"}}};
        PeOptions wide = program;
        wide.pe32Plus = true;
        wide.machine = Machine::Amd64;
        const std::string plain = tree + "/plain.exe";
        const std::string plainWide = folder->Path() + "/wide.exe";
        if (!WriteImage(plain, BuildPe(program)) || !WriteImage(plainWide, BuildPe(wide)) ||
            !WriteImage(tree + "/old16.exe", NeWithVersion(EncodeNarrowBlock(MakeVersionTree(
                                                 SimpleVersionInfo("Old", "Contoso")))))) {
            return false;
        }
        const auto in = [&](const std::string& name) { return tree + "/" + name; };
        const bool signedAll = Sign(plain, in("trusted.dll"), "leaf", "sha256",
                                    "-n \"Contoso Widgets\" " + Stamp("1700000000")) &&
                               Sign(plainWide, in("sha1.exe"), "leaf", "sha1") &&
                               Sign(in("trusted.dll"), in("nested.dll"), "leaf", "sha1", "-nest") &&
                               Sign(plain, in("rogue.dll"), "rogue", "sha256") &&
                               Sign(plain, in("expired.dll"), "old", "sha1") &&
                               Sign(plain, in("stamped.dll"), "old", "sha256", Stamp("1560000000"));
        if (!signedAll) {
            return false;
        }
        // Changed after signing: a byte of code; a letter of the signed program name.
        const std::string signedBytes = ReadFile(in("trusted.dll"));
        Bytes changed(signedBytes.begin(), signedBytes.end());
        Bytes tampered = changed;
        changed[0x400] ^= 0xFF;
        const std::size_t letter = signedBytes.find("Widgets", TableOffset(changed));
        if (letter == std::string::npos) {
            return false;
        }
        tampered[letter] = 'V';
        // A table whose SignedData is no DER, and one that reaches past the file's end.
        Bytes garbled = changed;
        garbled[0x400] ^= 0xFF;
        const std::uint64_t table = TableOffset(garbled);
        std::fill(garbled.begin() + static_cast<long>(table) + 8, garbled.end(), 0xEE);
        Bytes outside = Bytes(changed.begin(), changed.end() - 16);
        outside[0x400] ^= 0xFF;
        return WriteBytes(in("changed.dll"), changed) && WriteBytes(in("tampered.dll"), tampered) &&
               WriteBytes(in("garbled.dll"), garbled) && WriteBytes(in("outside.dll"), outside);
    }
    // Where the certificate table's directory entry lies (PE32: optional header + 128), and
    // where the table starts.
    static std::uint64_t TableEntry(const Bytes& image) {
        const std::uint32_t header = image[0x3C] | image[0x3D] << 8;
        return header + 24 + 128;
    }
    static std::uint64_t TableOffset(const Bytes& image) {
        const std::uint64_t entry = TableEntry(image);
        return image[entry] | image[entry + 1] << 8 | image[entry + 2] << 16 |
               std::uint64_t{image[entry + 3]} << 24;
    }

    static inline TempDir* folder = nullptr;
    static inline std::string pki;
    static inline std::string tree;
    static inline bool ready = false;
};

// What osslsigncode verify says of each signature in a file, in order.
struct OsslsigncodeView {
    std::string digestAlgorithm;  // lower case
    bool digestMatches = true;
    std::string signerSubject;  // as it writes it: "/CN=.../O=..."
    std::string serial;
    std::string timestamp;  // "Nov 14 22:13:20 2023 GMT"
    bool verified = false;
};

// An RFC 4514 name ("O=Contoso Ltd.,CN=Contoso Code Signing") as osslsigncode writes it
// ("/CN=Contoso Code Signing/O=Contoso Ltd."), for names whose values hold no commas.
std::string SlashedName(const std::string& name) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t comma; (comma = name.find(',', start)) != std::string::npos;
         start = comma + 1) {
        parts.push_back(name.substr(start, comma - start));
    }
    parts.push_back(name.substr(start));
    std::string slashed;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        slashed.append("/").append(*part);
    }
    return slashed;
}

std::vector<OsslsigncodeView> Osslsigncode(const std::string& file, const std::string& pki) {
    const RunResult run = RunProgram(
        "/usr/bin/osslsigncode",
        {"verify", "-CAfile", pki + "/root.pem", "-TSA-CAfile", pki + "/root.pem", "-in", file});
    std::vector<OsslsigncodeView> signatures;
    std::size_t start = 0;
    for (std::size_t end; (end = run.output.find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::string line = run.output.substr(start, end - start);
        line.erase(0, line.find_first_not_of('\t'));
        const auto after = [&line](const std::string& key) {
            return line.substr(line.find_first_not_of(' ', key.size()));
        };
        if (line.rfind("Signature Index:", 0) == 0) {
            signatures.emplace_back();
        } else if (signatures.empty()) {
            continue;
        } else if (line.rfind("Message digest algorithm  :", 0) == 0) {
            for (char letter : after("Message digest algorithm  :")) {
                signatures.back().digestAlgorithm += static_cast<char>(std::tolower(letter));
            }
        } else if (line.find("MISMATCH") != std::string::npos) {
            signatures.back().digestMatches = false;
        } else if (line.rfind("Subject: ", 0) == 0 && signatures.back().signerSubject.empty()) {
            signatures.back().signerSubject = after("Subject:");
        } else if (line.rfind("Serial : ", 0) == 0 && signatures.back().serial.empty()) {
            signatures.back().serial = after("Serial :");
        } else if (line.rfind("Timestamp time: ", 0) == 0) {
            signatures.back().timestamp = after("Timestamp time:");
        } else if (line == "Signature verification: ok") {
            signatures.back().verified = true;
        }
    }
    return signatures;
}

TEST_F(SignedFiles, EachVerdictWithItsValuesAsOsslsigncodeReadsThem) {
    const RunResult run = RunProgram(QUILLET_INVENTORY_BINARY,
                                     {"--signatures", "--trust", pki + "/root.pem", "--all", tree});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    auto records = RecordsByName(run.output);
    const auto status = [&](const std::string& name) {
        return TextOf(records[name]["signature"]["status"]);
    };
    EXPECT_EQ(status("plain.exe"), "unsigned");
    EXPECT_EQ(status("old16.exe"), "unsigned");
    EXPECT_EQ(status("trusted.dll"), "trusted");
    EXPECT_EQ(status("sha1.exe"), "trusted");
    EXPECT_EQ(status("nested.dll"), "trusted");
    EXPECT_EQ(status("rogue.dll"), "untrusted");
    EXPECT_EQ(status("expired.dll"), "expired");
    EXPECT_EQ(status("stamped.dll"), "trusted");  // valid when it was stamped
    EXPECT_EQ(status("changed.dll"), "bad_digest");
    EXPECT_EQ(status("tampered.dll"), "bad_signature");
    EXPECT_EQ(status("garbled.dll"), "malformed");
    EXPECT_EQ(status("outside.dll"), "malformed");

    const rapidjson::Value& trusted = records["trusted.dll"]["signature"];
    EXPECT_EQ(TextOf(trusted["signer"]), "Contoso Code Signing");
    EXPECT_EQ(TextOf(trusted["signer_subject"]), "O=Contoso Ltd.,CN=Contoso Code Signing");
    EXPECT_EQ(TextOf(trusted["issuer"]), "O=Quillet Test,CN=Quillet Test Intermediate");
    EXPECT_EQ(TextOf(trusted["serial"]), "1002");
    EXPECT_EQ(TextOf(trusted["program_name"]), "Contoso Widgets");
    EXPECT_EQ(TextOf(trusted["signing_time"]), "2023-11-14T22:13:20Z");
    EXPECT_EQ(TextOf(records["stamped.dll"]["signature"]["signing_time"]), "2019-06-08T13:20:00Z");
    EXPECT_EQ(TextOf(records["expired.dll"]["signature"]["signer"]), "Old Software Inc.");
    EXPECT_TRUE(records["sha1.exe"]["signature"]["signing_time"].IsNull());
    const RunResult fingerprint = RunProgram(
        "/usr/bin/openssl", {"x509", "-in", pki + "/leaf.pem", "-noout", "-fingerprint", "-sha1"});
    std::string thumbprint = fingerprint.output.substr(fingerprint.output.find('=') + 1);
    std::erase(thumbprint, ':');
    std::erase(thumbprint, '\n');
    EXPECT_EQ(TextOf(trusted["thumbprint"]), thumbprint);
    const rapidjson::Value& nested = records["nested.dll"]["signature"]["nested"];
    ASSERT_EQ(nested.Size(), 1u);
    EXPECT_EQ(TextOf(nested[0]["status"]), "trusted");
    EXPECT_EQ(TextOf(nested[0]["digest_algorithm"]), "sha1");

    // Every signed file against osslsigncode: the digest's algorithm and whether it matches, the
    // signer and its serial, the timestamp's time, the signatures nested, and the verdict where
    // osslsigncode gives one alike (it calls a signature whose certificate has expired since a
    // timestamp good).
    for (const char* name : {"trusted.dll", "sha1.exe", "nested.dll", "rogue.dll", "expired.dll",
                             "stamped.dll", "changed.dll"}) {
        const auto views = Osslsigncode(tree + "/" + name, pki);
        ASSERT_FALSE(views.empty()) << name;
        const rapidjson::Value& signature = records[name]["signature"];
        EXPECT_EQ(signature["nested"].Size() + 1, views.size()) << name;
        for (std::size_t index = 0; index < views.size(); ++index) {
            const rapidjson::Value& ours = index == 0 ? signature : signature["nested"][index - 1];
            const OsslsigncodeView& theirs = views[index];
            EXPECT_EQ(TextOf(ours["digest_algorithm"]), theirs.digestAlgorithm) << name;
            EXPECT_EQ(TextOf(ours["status"]) == "bad_digest", !theirs.digestMatches) << name;
            // It names the signer only of a signature whose digest matches.
            if (theirs.digestMatches) {
                EXPECT_EQ(SlashedName(TextOf(ours["signer_subject"])), theirs.signerSubject)
                    << name;
                EXPECT_EQ(TextOf(ours["serial"]), theirs.serial) << name;
            }
            EXPECT_EQ(TextOf(ours["status"]) == "trusted", theirs.verified) << name;
        }
    }
}

}  // namespace

// The same verdicts in columns: the primary signature's values and how many it nests in CSV and
// SQLite, and the nested ones in SQLite's table of their own.
TEST_F(SignedFiles, CsvAndSqliteCarryThePrimarySignatureAndSqliteTheNested) {
    const std::string csv = folder->Path() + "/signed.csv";
    const std::string database = folder->Path() + "/signed.db";
    for (const auto& [format, output] : {std::pair{"csv", csv}, std::pair{"sqlite", database}}) {
        ASSERT_EQ(
            RunProgram(QUILLET_INVENTORY_BINARY, {"--signatures", "--trust", pki + "/root.pem",
                                                  "--format", format, "-o", output, tree})
                .exitCode,
            0);
    }
    const std::string rows = ReadFile(csv);
    EXPECT_NE(rows.find("/nested.dll,"), std::string::npos);
    EXPECT_NE(rows.find(",trusted,sha256,Contoso Code Signing,\"O=Contoso Ltd.,CN=Contoso Code "
                        "Signing\",\"O=Quillet Test,CN=Quillet Test Intermediate\",1002,"),
              std::string::npos)
        << rows;
    EXPECT_NE(rows.find(",Contoso Widgets,2023-11-14T22:13:20Z,false,1\r\n"), std::string::npos)
        << rows;
    const RunResult nested =
        RunProgram("/usr/bin/sqlite3",
                   {database,
                    "SELECT f.signature_status, f.nested_signatures, n.position, n.status, "
                    "n.digest_algorithm, n.signer FROM files f JOIN nested_signatures n ON "
                    "n.file_id = f.id"});
    EXPECT_EQ(nested.output, "trusted|1|1|trusted|sha1|Contoso Code Signing\n") << nested.errors;
}

// Tables no signer writes: one that claims 100 MB (the real table at its start, then zeros, in
// a sparse file), and SignedData nested a thousand SEQUENCEs deep. Each gets "malformed", without
// the large one being read into memory.
TEST_F(SignedFiles, HostileTablesAreMalformedAndNotReadWhole) {
    const std::string hostile = folder->Path() + "/hostile";
    ASSERT_TRUE(std::filesystem::create_directory(hostile));
    const std::string signedBytes = ReadFile(tree + "/trusted.dll");
    const Bytes original(signedBytes.begin(), signedBytes.end());
    const std::uint64_t table = TableOffset(original);
    const std::uint64_t sizeField = TableEntry(original) + 4;

    constexpr std::uint32_t kHundredMegabytes = 100u << 20;
    ImageFile huge;
    huge.bytes = original;
    Patch32(huge.bytes, sizeField, kHundredMegabytes);
    huge.tailOffset = table + kHundredMegabytes - 8;
    huge.tail = Bytes(8, 0);
    ASSERT_TRUE(WriteImage(hostile + "/huge.dll", huge));

    Bytes deep(original.begin(), original.begin() + static_cast<long>(table));
    constexpr std::uint32_t kDepth = 1000;
    const std::uint32_t length = 8 + kDepth * 5;
    Put32(deep, length);
    Put16(deep, 0x0200);  // revision 2.0
    Put16(deep, 0x0002);  // PKCS_SIGNED_DATA
    for (std::uint32_t level = 0; level < kDepth; ++level) {
        const std::uint32_t inner = (kDepth - level - 1) * 5;
        deep.insert(deep.end(),
                    {0x30, 0x83, static_cast<std::uint8_t>(inner >> 16),
                     static_cast<std::uint8_t>(inner >> 8), static_cast<std::uint8_t>(inner)});
    }
    Patch32(deep, sizeField, length);
    ASSERT_TRUE(WriteBytes(hostile + "/deep.dll", deep));

    const RunResult run = RunProgram(QUILLET_INVENTORY_BINARY,
                                     {"--signatures", "--trust", pki + "/root.pem", hostile});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    auto records = RecordsByName(run.output);
    EXPECT_EQ(TextOf(records["huge.dll"]["signature"]["status"]), "malformed");
    EXPECT_EQ(TextOf(records["deep.dll"]["signature"]["status"]), "malformed");
}
