// Helpers shared by the tests: scratch directories, whole-file reads and writes, and running the
// built tool as a user would.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace test_support {

// A fresh directory under the system's temporary directory, removed with everything in it
// (whatever its permissions) when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return root; }
    std::string operator/(const std::string& relative) const { return root + "/" + relative; }

  private:
    std::string root;
};

std::string ReadFile(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
void MakeDirectories(const std::string& path);
// Sets the modification time, in seconds since 1970 (UTC).
void SetModificationTime(const std::string& path, std::time_t seconds);

// A bound Unix socket at path (a special file); close the descriptor returned when done. -1 on
// failure.
int BindSocket(const std::string& path);

// What quillet prints before it walks: the banner for a search pattern and an output file.
std::string Banner(const std::string& pattern, const std::string& output, bool append = false);

struct RunResult {
    int exitCode = -1;
    std::string output;  // standard output
    std::string errors;  // standard error
};

struct RunOptions {
    std::string workingDirectory;  // empty: the tests' own
    // With an ordinary user's rights, when the tests run as root, which ignores permissions.
    bool unprivileged = false;
    bool oneProcessor = false;  // pinned to the first processor it may run on
    // The build of quillet that reads nothing ahead (its read-ahead has no threads), whose
    // listing every run must match.
    bool withoutReadAhead = false;
    long fileSizeLimit = 0;  // bytes (RLIMIT_FSIZE); 0: none set
};

// Runs program with the given arguments (not counting the program name), standard input empty.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const RunOptions& options = {});
// The same for the built quillet (or, if asked, the one that reads nothing ahead).
RunResult RunQuillet(const std::vector<std::string>& arguments, const RunOptions& options = {});

// Starts the built quillet with the given arguments without waiting for it; its console output
// is thrown away.
pid_t StartQuillet(const std::vector<std::string>& arguments);
// The same for any program.
pid_t StartProgram(const char* program, const std::vector<std::string>& arguments);

// The names in directory but "." and "..", in the order its listing gives them (the walk's).
std::vector<std::string> NamesInListingOrder(const std::string& directory);

std::vector<std::string> Sorted(std::vector<std::string> texts);

// The lines of a listing, each with its CR LF (the last without, if it has none).
std::vector<std::string> LinesOf(const std::string& listing);

// The body of the README's fenced block that follows "<!-- recipe: name -->"; empty if none.
std::string ReadmeRecipe(const std::string& name);

// The README's shell recipe that follows "<!-- recipe: name -->", run with bash -e in
// directory: its output, or "failed: " and its output.
std::string RunReadmeRecipe(const std::string& directory, const std::string& name);

// Runs work in a child process with the rights of an ordinary user (when the tests run as root,
// which ignores permissions), and returns what work returned as text.
std::string RunUnprivileged(const std::function<std::string()>& work);

// A code-signing PKI made in folder by tests/support/make_test_pki (see there for what it holds);
// false where openssl or osslsigncode is missing or the PKI could not be made.
bool MakeTestPki(const std::string& folder);
// Signs in into out with osslsigncode under the PKI's key named ("leaf", "old", "rogue"), with
// the digest named and any more of its options; false where it could not.
bool SignWithTestPki(const std::string& pki, const std::string& key, const std::string& digest,
                     const std::string& in, const std::string& out, const std::string& more = "");

}  // namespace test_support
