// The floor: only the work that listing a tree's program files cannot avoid. It walks the tree
// (skipping directories whose names begin with a dot) and, for each .exe, .dll or .ocx by name,
// opens it, reads its first 4 KiB, takes its modification time and closes it. Quillet does all
// of this and more, so it cannot beat this by much; the benchmark shows how close it comes.
//
//   floor DIRECTORY

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Totals {
    long candidates = 0;
    long long timeSum = 0;  // keeps the work from being optimised away
};

bool IsCandidate(const char* name) {
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr && (strcasecmp(dot, ".exe") == 0 || strcasecmp(dot, ".dll") == 0 ||
                              strcasecmp(dot, ".ocx") == 0);
}

void Examine(const std::string& path, Totals& totals) {
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return;
    }
    char head[4096];
    const ssize_t got = read(descriptor, head, sizeof head);
    struct stat status {};
    if (fstat(descriptor, &status) == 0 && got >= 0) {
        ++totals.candidates;
        totals.timeSum += status.st_mtim.tv_sec + head[0];
    }
    close(descriptor);
}

void Walk(const std::string& directory, Totals& totals) {
    DIR* stream = opendir(directory.c_str());
    if (stream == nullptr) {
        return;
    }
    std::vector<std::string> subdirectories;
    while (const dirent* entry = readdir(stream)) {
        const std::string path = directory + "/" + entry->d_name;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat status {};
            isDirectory = stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
        }
        if (isDirectory) {
            if (entry->d_name[0] != '.') {
                subdirectories.push_back(path);
            }
        } else if (IsCandidate(entry->d_name)) {
            Examine(path, totals);
        }
    }
    closedir(stream);
    for (const std::string& subdirectory : subdirectories) {
        Walk(subdirectory, totals);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fputs("usage: floor DIRECTORY\n", stderr);
        return 1;
    }
    Totals totals;
    Walk(argv[1], totals);
    std::printf("%ld candidates (%lld)\n", totals.candidates, totals.timeSum % 10);
    return 0;
}
