// The README's recipes for many machines, run in real engines on inventories of the tests' own:
// DuckDB over a folder of JSON Lines files (npm's @duckdb/node-api), PostgreSQL loading CSV files
// on a server the test starts in a temporary folder and stops.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fixtures/executable_writer.h"
#include "fixtures/version_resource_writer.h"
#include "support/test_support.h"

namespace {

using namespace fixture;
using test_support::MakeDirectories;
using test_support::ReadFile;
using test_support::RunProgram;
using test_support::TempDir;

ImageFile Program(const std::string& product, std::array<std::uint16_t, 4> version,
                  const std::string& originalName = {}) {
    VersionInfo info = SimpleVersionInfo(product, "Acme", version);
    if (!originalName.empty()) {
        info.stringTables[0].strings.push_back({"OriginalFilename", originalName});
    }
    return PeWithVersion(EncodeWideBlock(MakeVersionTree(info)));
}

// Two hosts: alpha scanned twice (a program updated and signed by another, one removed, one added
// between), beta once; each scan written as JSON Lines and as CSV into inventories/, signatures
// verified against the tests' own PKI.
class ManyMachines : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test_support::MakeTestPki(dir / "pki")) {
            GTEST_SKIP() << "openssl and osslsigncode are needed to sign the hosts' programs";
        }
        MakeDirectories(dir / "alpha/apps");
        MakeDirectories(dir / "alpha/tools");
        MakeDirectories(dir / "beta/apps");
        MakeDirectories(dir / "inventories");
        WriteSigned("alpha/apps/widget.exe", Program("Widget", {1, 2, 3, 4}, "WIDGET.EXE"), "leaf");
        Write("alpha/apps/helper.dll", Program("Helper", {2, 0, 0, 0}));
        Write("alpha/tools/renamed.exe", Program("Tool", {3, 0, 0, 0}, "original.exe"));
        Scan("alpha", "alpha-1");
        WriteSigned("alpha/apps/widget.exe", Program("Widget", {1, 10, 0, 0}, "WIDGET.EXE"),
                    "rogue");
        std::filesystem::remove(dir / "alpha/apps/helper.dll");
        Write("alpha/apps/new.dll", Program("New", {1, 0, 0, 0}));
        Scan("alpha", "alpha-2");
        WriteSigned("beta/apps/widget.exe", Program("Widget", {1, 9, 0, 0}), "leaf");
        Scan("beta", "beta-1");
    }
    void Write(const std::string& path, const ImageFile& image) {
        ASSERT_TRUE(WriteImage(dir / path, image));
    }
    void WriteSigned(const std::string& path, const ImageFile& image, const std::string& key) {
        ASSERT_TRUE(WriteImage(dir / "unsigned.exe", image));
        std::filesystem::remove(dir / path);
        ASSERT_TRUE(test_support::SignWithTestPki(dir / "pki", key, "sha256", dir / "unsigned.exe",
                                                  dir / path));
    }
    void Scan(const std::string& host, const std::string& name) {
        for (const char* format : {"jsonl", "csv"}) {
            const std::string output = dir / ("inventories/" + name + "." + format);
            ASSERT_EQ(RunProgram(QUILLET_INVENTORY_BINARY,
                                 {"--host", host, "--format", format, "--signatures", "--trust",
                                  dir / "pki/root.pem", "-o", output, dir / host})
                          .exitCode,
                      0);
        }
    }
    // What each of the three questions answers, as both engines print rows.
    std::string Below() const { return "beta|1.9.0.0\n"; }
    std::string Renamed() const {
        return "alpha|" + dir / "alpha/tools/renamed.exe" + "|original.exe\n";
    }
    std::string Untrusted() const {
        return "alpha|" + dir / "alpha/apps/new.dll" + "|unsigned|\nalpha|" +
               dir / "alpha/apps/widget.exe" + "|untrusted|Contoso Code Signing\nalpha|" +
               dir / "alpha/tools/renamed.exe" + "|unsigned|\n";
    }
    std::string SignerChanged() const {
        return "alpha|" + dir / "alpha/apps/widget.exe" +
               "|Contoso Code Signing|O=Quillet Test,CN=Quillet Test Intermediate|Contoso Code "
               "Signing|CN=Contoso Code Signing\n";
    }
    std::string Changed() const {
        return dir / "alpha/apps/helper.dll" + "|2.0.0.0|\n" + dir / "alpha/apps/new.dll" +
               "||1.0.0.0\n" + dir / "alpha/apps/widget.exe" + "|1.2.3.4|1.10.0.0\n";
    }

    TempDir dir;
};

// Installs @duckdb/node-api once into the build's folder; false where node or npm cannot.
bool DuckDbAtHand(std::string& why) {
    if (std::system("command -v node > /dev/null && command -v npm > /dev/null") != 0) {
        why = "node and npm are not installed";
        return false;
    }
    const std::string modules = std::string(QUILLET_NPM_FOLDER) + "/node_modules/@duckdb/node-api";
    if (!std::filesystem::exists(modules)) {
        const std::string install =
            std::string("npm install --silent --no-audit --no-fund --prefix '") +
            QUILLET_NPM_FOLDER + "' @duckdb/node-api@1.5.6-r.1 > /dev/null 2>&1";
        if (std::system(install.c_str()) != 0) {
            why = "npm could not install @duckdb/node-api";
            return false;
        }
    }
    return true;
}

TEST_F(ManyMachines, DuckDbAnswersTheReadmesQuestionsFromAFolderOfJsonLines) {
    std::string why;
    if (!DuckDbAtHand(why)) {
        GTEST_SKIP() << why;
    }
    // The script is run from the folder the modules were installed in, so that node finds them.
    const std::string script = std::string(QUILLET_NPM_FOLDER) + "/duckdb_query.mjs";
    std::filesystem::copy_file(QUILLET_DUCKDB_QUERY, script,
                               std::filesystem::copy_options::overwrite_existing);
    const auto query = [&](const std::string& recipe) {
        const std::string sql = test_support::ReadmeRecipe(recipe);
        EXPECT_FALSE(sql.empty()) << recipe;
        test_support::WriteText(dir / (recipe + ".sql"), sql);
        const std::string command = "cd '" + dir.Path() + "' && node '" + script + "' '" +
                                    dir / (recipe + ".sql") + "' > '" + dir / (recipe + ".out") +
                                    "' 2>&1";
        const int status = std::system(command.c_str());
        const std::string output = ReadFile(dir / (recipe + ".out"));
        return status == 0 ? output : "failed: " + output;
    };
    EXPECT_EQ(query("duckdb-below"), Below());
    EXPECT_EQ(query("duckdb-renamed"), Renamed());
    EXPECT_EQ(query("duckdb-changed"), Changed());
    EXPECT_EQ(query("duckdb-untrusted"), Untrusted());
    EXPECT_EQ(query("duckdb-signer-changed"), SignerChanged());
}

TEST_F(ManyMachines, PostgresqlLoadsTheCsvFilesAndAnswersTheSameQuestions) {
    const std::string server = dir / "pg";
    MakeDirectories(server);
    chmod(dir.Path().c_str(), 0755);  // the server's own user must reach its folder
    const std::string start = std::string(QUILLET_POSTGRES_SERVER) + " start '" + server + "'";
    if (std::system((start + " > /dev/null 2>&1").c_str()) != 0) {
        GTEST_SKIP() << "no PostgreSQL server could be started: "
                     << ReadFile(server + "/initdb.log") << ReadFile(server + "/server.log");
    }
    setenv("PGHOST", server.c_str(), 1);
    setenv("PGUSER", "postgres", 1);
    setenv("PGDATABASE", "postgres", 1);
    const std::string loaded = test_support::RunReadmeRecipe(dir.Path(), "postgres-load");
    const std::string answers = test_support::RunReadmeRecipe(dir.Path(), "postgres-queries");
    const int stopped =
        std::system((std::string(QUILLET_POSTGRES_SERVER) + " stop '" + server + "'").c_str());
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(loaded, "");
    EXPECT_EQ(answers, Below() + Renamed() + Changed() + Untrusted() + SignerChanged());
}

}  // namespace
