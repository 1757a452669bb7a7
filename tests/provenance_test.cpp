// What quillet-inventory tells of where a program file came from: the build facts its headers
// carry, held against python3-pefile and monodis (mono-utils), independent readers, on files the
// fixture writer makes; and what damaged headers get.

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "fixtures/executable_writer.h"
#include "fixtures/version_resource_writer.h"
#include "support/test_support.h"

namespace {

using namespace fixture;
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

}  // namespace
