// The POSIX side of the few helpers that the platform headers do not provide.

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#if defined(__linux__)
#include <sys/vfs.h>
#endif

#include <array>
#include <string>

#include "platform/file_tree.h"
#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/file_times.h"
#include "platform/posix/long_paths.h"
#include "platform/read_ahead_work.h"

namespace platform {

namespace {

// Climbing from a link's target towards the root of its file system: a bound against a file
// system whose ".." never reaches a top.
constexpr int kMostLevelsClimbed = 1 << 16;

DirectoryIdentity IdentityOf(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool IdentityOfOpenDirectory(int descriptor, DirectoryIdentity& identity) {
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISDIR(status.st_mode)) {
        return false;
    }
    identity = IdentityOf(status);
    return true;
}

// Whether root is the open directory or one of its ancestors, with the directory's own identity
// in start; takes the descriptor over.
bool ClimbsToRoot(int directory, const DirectoryIdentity& root, DirectoryIdentity& start) {
    bool found = false;
    DirectoryIdentity here;
    DirectoryIdentity below;
    for (int level = 0; level < kMostLevelsClimbed && directory >= 0; ++level) {
        // At the top of the file system tree, ".." is the directory itself.
        if (!IdentityOfOpenDirectory(directory, here) || (level > 0 && here == below)) {
            break;
        }
        if (level == 0) {
            start = here;
        }
        if (here == root) {
            found = true;
            break;
        }
        below = here;
        const int parent = openat(directory, "..", posix::kPassThroughFlags);
        close(directory);
        directory = parent;
    }
    if (directory >= 0) {
        close(directory);
    }
    return found;
}

#if defined(__linux__)
// Types that statfs reports for the kernel's pseudo file systems.
constexpr std::array<unsigned long, 19> kPseudoFileSystemTypes = {
    0x9fa0,      // proc
    0x62656572,  // sysfs
    0x1cd1,      // devpts
    0x27e0eb,    // cgroup
    0x63677270,  // cgroup2
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x73636673,  // securityfs
    0xcafe4a11,  // bpf
    0x6165676c,  // pstore
    0x62656570,  // configfs
    0xde5e81e4,  // efivarfs
    0xf97cff8c,  // selinuxfs
    0x43415d53,  // smackfs
    0x42494e4d,  // binfmt_misc
    0x19800202,  // mqueue
    0x65735543,  // fusectl
    0x6e736673,  // nsfs
    0x67596969,  // rpc_pipefs
};
#endif

// A directory of the file tree in use; the tree cannot change while it is read, so no parent is
// told to check it against.
bool IdentityInTree(FileTree& tree, const char* directory, DirectoryIdentity& identity,
                    std::optional<DirectoryIdentity>* parent) {
    if (parent != nullptr) {
        parent->reset();
    }
    TreeNode node;
    if (!tree.Examine(directory, node)) {
        posix::SetLastErrno(errno);
        return false;
    }
    if (!node.directory) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    identity = node.identity;
    return true;
}

void (*interruptAction)() = nullptr;

sigset_t InterruptSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

void OnInterrupt(int signal) {
    const int savedError = errno;
    if (interruptAction != nullptr) {
        interruptAction();
    }
    // Still blocked while this handler runs: delivered, with its default effect, on return.
    std::signal(signal, SIG_DFL);
    raise(signal);
    errno = savedError;
}

}  // namespace

bool GetDirectoryIdentity(const char* directory, DirectoryIdentity& identity,
                          std::optional<DirectoryIdentity>* parent) {
    // The walk's directory is known by the listing it is about to take, whoever made it.
    if (const platform::ReadAheadJob* job =
            platform::WalksJob(directory, platform::JobKind::List)) {
        identity = job->listing.identity;
        if (parent != nullptr) {
            *parent = job->listing.parent;
        }
        posix::SetLastErrno(job->listing.error);
        return job->listing.opened;
    }
    if (FileTree* tree = FileTreeInUse()) {
        return IdentityInTree(*tree, directory, identity, parent);
    }
    struct stat status {};
    if (!posix::StatPath(directory, status)) {
        posix::SetLastErrno(errno);
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    identity = IdentityOf(status);
    if (parent != nullptr) {
        struct stat above {};
        *parent = posix::StatPath((std::string(directory) + "/..").c_str(), above)
                      ? std::optional(IdentityOf(above))
                      : std::nullopt;
    }
    return true;
}

bool ResolveTreeRoot(const char* directory, TreeRoot& root) {
    root.resolvedPath.clear();
    return GetDirectoryIdentity(directory, root.identity);
}

bool LinkTargetLiesWithin(const char* link, const TreeRoot& root, DirectoryIdentity& target) {
    if (FileTreeInUse() != nullptr) {
        return false;  // a tree read whole: its links are not followed
    }
    return ClimbsToRoot(posix::OpenPath(link, posix::kPassThroughFlags), root.identity, target);
}

bool IsPseudoFileSystem(const char* directory) {
#if defined(__linux__)
    if (FileTreeInUse() != nullptr) {
        return false;
    }
    const int descriptor = posix::OpenPath(directory, posix::kPassThroughFlags);
    if (descriptor < 0) {
        return false;
    }
    struct statfs status {};
    const bool known = fstatfs(descriptor, &status) == 0;
    close(descriptor);
    if (!known) {
        return false;
    }
    const auto type = static_cast<unsigned long>(status.f_type);
    for (const unsigned long pseudo : kPseudoFileSystemTypes) {
        if (type == pseudo) {
            return true;
        }
    }
#else
    static_cast<void>(directory);
#endif
    return false;
}

bool GetLastWriteTime(const char* path, const WIN32_FIND_DATAA& record, FILETIME& time) {
    if (record.dwReserved0 != kTimesLeftUnread) {
        time = record.ftLastWriteTime;
        return true;
    }
    // Taken in the one look at the file, when the walk's.
    if (const platform::ReadAheadJob* job =
            platform::WalksJob(path, platform::JobKind::Look, posix::ListedDirectoryOf)) {
        time = job->examination.modified;
        return job->examination.opened;
    }
    if (FileTree* tree = FileTreeInUse()) {
        TreeNode node;
        if (!tree->Examine(path, node)) {
            return false;
        }
        time = posix::ToFileTime(node.modified);
        return true;
    }
    struct stat status {};
    if (!posix::StatPath(path, status)) {
        return false;
    }
    time = posix::ToFileTime(status.st_mtim);
    return true;
}

void CallOnInterrupt(void (*action)()) {
    interruptAction = action;
    struct sigaction handling {};
    handling.sa_handler = OnInterrupt;
    handling.sa_mask = InterruptSignals();  // one handler run at a time
    handling.sa_flags = SA_RESTART;
    sigaction(SIGINT, &handling, nullptr);
    sigaction(SIGTERM, &handling, nullptr);
}

void HoldInterrupts() {
    const sigset_t signals = InterruptSignals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
}

void ReleaseInterrupts() {
    const sigset_t signals = InterruptSignals();
    sigprocmask(SIG_UNBLOCK, &signals, nullptr);
}

void TakeWriteFailuresAsErrors() {
    std::signal(SIGPIPE, SIG_IGN);  // then EPIPE
    std::signal(SIGXFSZ, SIG_IGN);  // then EFBIG
}

void WriteInBinary(std::FILE* /*stream*/) {}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

int DescriptorOf(std::FILE* stream) {
    return fileno(stream);
}

bool WriteToDescriptor(int descriptor, const char* bytes, std::size_t count, std::size_t& written) {
    written = 0;
    while (written < count) {
        const ssize_t got = write(descriptor, bytes + written, count - written);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(got);
    }
    return true;
}

bool IsRegularFile(int descriptor) {
    struct stat status {};
    return fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
}

void LockForAppending(int descriptor) {
    while (flock(descriptor, LOCK_EX) != 0 && errno == EINTR) {
    }
}

bool CutBack(int descriptor, std::uint64_t count) {
    if (!IsRegularFile(descriptor)) {
        return false;
    }
    const off_t end = lseek(descriptor, 0, SEEK_CUR);
    if (end < 0 || static_cast<std::uint64_t>(end) < count) {
        return false;
    }
    return ftruncate(descriptor, end - static_cast<off_t>(count)) == 0;
}

void PrepareConsole() {}

bool StandardOutputIsConsole() {
    return isatty(STDOUT_FILENO) == 1;
}

bool TextIsUtf8() {
    return true;
}

}  // namespace platform
