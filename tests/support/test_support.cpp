#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace test_support {

namespace {

constexpr uid_t kNobody = 65534;

// Removes name, relative to the open directory parent, with everything in it. Works relative to
// descriptors, so that trees deeper than any path the kernel takes go too.
void RemoveAt(int parent, const char* name) {
    struct stat status {};
    if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return;
    }
    if (!S_ISDIR(status.st_mode)) {
        unlinkat(parent, name, 0);
        return;
    }
    // Whatever its permissions were; where they cannot be changed, the removal simply fails.
    [[maybe_unused]] const int opened = fchmodat(parent, name, 0700, 0);
    const int directory = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory >= 0) {
        std::vector<std::string> names;
        if (DIR* stream = fdopendir(dup(directory))) {
            while (const dirent* entry = readdir(stream)) {
                const std::string entryName = entry->d_name;
                if (entryName != "." && entryName != "..") {
                    names.push_back(entryName);
                }
            }
            closedir(stream);
        }
        for (const std::string& entryName : names) {
            RemoveAt(directory, entryName.c_str());
        }
        close(directory);
    }
    unlinkat(parent, name, AT_REMOVEDIR);
}

void RemoveTree(const std::string& path) {
    RemoveAt(AT_FDCWD, path.c_str());
}

std::string ReadAll(int descriptor) {
    std::string text;
    char buffer[65536];
    for (ssize_t got; (got = read(descriptor, buffer, sizeof buffer)) != 0;) {
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

// The first processor this process may run on, and no other.
bool RunOnOneProcessor() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return false;
    }
    for (int processor = 0; processor < CPU_SETSIZE; ++processor) {
        if (CPU_ISSET(processor, &allowed)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(processor, &one);
            return sched_setaffinity(0, sizeof one, &one) == 0;
        }
    }
    return false;
}

}  // namespace

std::string Banner(const std::string& pattern, const std::string& output, bool append) {
    return "\n\nSave Version Informations\n Directory: '" + pattern + "'\n Output   : '" + output +
           "' " + (append ? "(append)" : "") + "\n Number of files:\n";
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quillet-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a temporary directory";
    }
    chmod(pattern.c_str(), 0755);  // so that an unprivileged child can enter it
    root = pattern;
}

TempDir::~TempDir() {
    RemoveTree(root);
}

std::string ReadFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << text;
    ASSERT_TRUE(stream.good()) << path;
}

void MakeDirectories(const std::string& path) {
    std::string partial;
    std::stringstream parts(path);
    for (std::string part; std::getline(parts, part, '/');) {
        partial += part + "/";
        mkdir(partial.c_str(), 0755);
    }
}

void SetModificationTime(const std::string& path, std::time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

int BindSocket(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return -1;
    }
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    const int server = socket(AF_UNIX, SOCK_STREAM, 0);
    if (server >= 0 && bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(server);
        return -1;
    }
    return server;
}

RunResult RunQuillet(const std::vector<std::string>& arguments, const RunOptions& options) {
    return RunProgram(options.withoutReadAhead ? QUILLET_WITHOUT_READ_AHEAD : QUILLET_BINARY,
                      arguments, options);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const RunOptions& options) {
    int output[2];
    int errors[2];
    if (pipe(output) != 0 || pipe(errors) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv;
        std::string name(program);
        argv.push_back(name.data());
        std::vector<std::string> copies(arguments);
        for (std::string& argument : copies) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const int empty = open("/dev/null", O_RDONLY);
        dup2(empty, STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(errors[1], STDERR_FILENO);
        close(output[0]);
        close(errors[0]);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
            _exit(126);
        }
        if (options.unprivileged && geteuid() == 0 &&
            (setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            _exit(125);
        }
        if (options.oneProcessor && !RunOnOneProcessor()) {
            _exit(124);
        }
        const rlimit fileSize{static_cast<rlim_t>(options.fileSizeLimit),
                              static_cast<rlim_t>(options.fileSizeLimit)};
        if (options.fileSizeLimit > 0 && setrlimit(RLIMIT_FSIZE, &fileSize) != 0) {
            _exit(123);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(output[1]);
    close(errors[1]);
    RunResult result;
    result.output = ReadAll(output[0]);  // the tool writes little to standard error
    result.errors = ReadAll(errors[0]);
    close(output[0]);
    close(errors[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

pid_t StartQuillet(const std::vector<std::string>& arguments) {
    return StartProgram(QUILLET_BINARY, arguments);
}

pid_t StartProgram(const char* program, const std::vector<std::string>& arguments) {
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(program)};
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        const int nowhere = open("/dev/null", O_RDWR);
        dup2(nowhere, STDIN_FILENO);
        dup2(nowhere, STDOUT_FILENO);
        execv(program, argv.data());
        _exit(127);
    }
    return child;
}

std::vector<std::string> NamesInListingOrder(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* stream = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(stream)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(stream);
    }
    return names;
}

std::vector<std::string> Sorted(std::vector<std::string> texts) {
    std::sort(texts.begin(), texts.end());
    return texts;
}

std::vector<std::string> LinesOf(const std::string& listing) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < listing.size();) {
        std::size_t end = listing.find("\r\n", start);
        end = end == std::string::npos ? listing.size() : end + 2;
        lines.push_back(listing.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string ReadmeRecipe(const std::string& name) {
    const std::string readme = ReadFile(QUILLET_README);
    const std::size_t marker = readme.find("<!-- recipe: " + name + " -->");
    const std::size_t fence = readme.find("```", marker);
    const std::size_t body = readme.find('\n', fence);
    if (marker == std::string::npos || fence == std::string::npos || body == std::string::npos) {
        return {};
    }
    return readme.substr(body + 1, readme.find("```\n", body) - body - 1);
}

std::string RunReadmeRecipe(const std::string& directory, const std::string& name) {
    std::string recipe = ReadmeRecipe(name);
    if (recipe.empty()) {
        recipe = "false";
    }
    const std::string script = directory + "/" + name + ".sh";
    WriteText(script, recipe);
    const std::string output = directory + "/" + name + ".out";
    const std::string command =
        "cd '" + directory + "' && bash -e '" + script + "' > '" + output + "' 2>&1";
    return std::system(command.c_str()) == 0 ? ReadFile(output) : "failed: " + ReadFile(output);
}

std::string RunUnprivileged(const std::function<std::string()>& work) {
    if (geteuid() != 0) {
        return work();
    }
    int channel[2];
    if (pipe(channel) != 0) {
        return "pipe failed";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) {
            _exit(1);
        }
        const std::string answer = work();
        const ssize_t written = write(channel[1], answer.data(), answer.size());
        _exit(written == static_cast<ssize_t>(answer.size()) ? 0 : 1);
    }
    close(channel[1]);
    std::string answer = ReadAll(channel[0]);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "unprivileged child failed";
    }
    return answer;
}

bool MakeTestPki(const std::string& folder) {
    const std::string command =
        "command -v osslsigncode > /dev/null && command -v openssl > "
        "/dev/null && mkdir -p '" +
        folder + "' && '" + MAKE_TEST_PKI + "' '" + folder + "' > /dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

bool SignWithTestPki(const std::string& pki, const std::string& key, const std::string& digest,
                     const std::string& in, const std::string& out, const std::string& more) {
    const std::string chain = key == "rogue" ? pki + "/rogue.pem" : pki + "/" + key + "-chain.pem";
    const std::string command = "osslsigncode sign -certs '" + chain + "' -key '" + pki + "/" +
                                key + ".key' -h " + digest + " " + more + " -in '" + in +
                                "' -out '" + out + "' > /dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

}  // namespace test_support
