// The Windows side of the few helpers that the platform headers do not provide.

#include "platform/platform.h"

#include <fcntl.h>

#include "platform/ascii.h"
#include "platform/formats/version_tree.h"
#include "platform/read_ahead_work.h"

#include <io.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace platform {

namespace windows {

namespace {

constexpr std::string_view kExtended = "\\\\?\\";
constexpr std::string_view kDevice = "\\\\.\\";
constexpr std::string_view kExtendedShare = "\\\\?\\UNC\\";

std::string FullPath(const std::string& directory) {
    std::string full(MAX_PATH, '\0');
    DWORD length =
        GetFullPathNameA(directory.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.assign(length + 1, '\0');
        length = GetFullPathNameA(directory.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                  nullptr);
    }
    full.resize(length < full.size() ? length : 0);
    return full;
}

}  // namespace

std::string ExtendedPath(const char* path) {
    std::string whole(path);
    std::replace(whole.begin(), whole.end(), '/', '\\');
    if (whole.starts_with(kExtended) || whole.starts_with(kDevice)) {
        return whole;
    }
    // Only the directory is made full: the platform's rules for a path's last name (device
    // names, trailing dots and blanks) must not touch the name found.
    const std::size_t separator = whole.find_last_of('\\');
    const std::string directory =
        separator == std::string::npos ? std::string(".\\") : whole.substr(0, separator + 1);
    const std::string name = separator == std::string::npos ? whole : whole.substr(separator + 1);
    std::string full = FullPath(directory);
    if (full.empty()) {
        return whole;  // as it is: the call then says what is wrong with it
    }
    if (full.back() != '\\') {
        full.push_back('\\');
    }
    full += name;
    return full.starts_with("\\\\") ? std::string(kExtendedShare) + full.substr(2)
                                    : std::string(kExtended) + full;
}

}  // namespace windows

namespace {

// Backup semantics are what lets CreateFile open a directory at all; links on the way and at the
// end are followed.
HANDLE OpenDirectory(const char* directory) {
    return CreateFileA(windows::ExtendedPath(directory).c_str(), 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The directory's path with every link and junction resolved, or empty.
std::string FinalPath(const char* directory) {
    HANDLE handle = OpenDirectory(directory);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string path(MAX_PATH, '\0');
    DWORD length = GetFinalPathNameByHandleA(handle, path.data(), static_cast<DWORD>(path.size()),
                                             FILE_NAME_NORMALIZED);
    if (length >= path.size()) {
        path.assign(length + 1, '\0');
        length = GetFinalPathNameByHandleA(handle, path.data(), static_cast<DWORD>(path.size()),
                                           FILE_NAME_NORMALIZED);
    }
    CloseHandle(handle);
    path.resize(length < path.size() ? length : 0);
    if (!path.empty() && path.back() == '\\') {
        path.pop_back();
    }
    return path;
}

bool SameLetters(char a, char b) {
    return LowerCaseAscii(a) == LowerCaseAscii(b);
}

}  // namespace

// The platform's calls give no parent of an open directory: none is told.
bool GetDirectoryIdentity(const char* directory, DirectoryIdentity& identity,
                          std::optional<DirectoryIdentity>* parent) {
    if (parent != nullptr) {
        parent->reset();
    }
    // The walk's directory is known by the listing it is about to take, whoever made it.
    if (const platform::ReadAheadJob* job =
            platform::WalksJob(directory, platform::JobKind::List)) {
        identity = job->listing.identity;
        SetLastError(job->listing.error);
        return job->listing.opened;
    }
    return windows::IdentityOfDirectory(directory, identity);
}

bool windows::IdentityOfDirectory(const char* directory, DirectoryIdentity& identity) {
    HANDLE handle = OpenDirectory(directory);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const BOOL known = GetFileInformationByHandle(handle, &information);
    CloseHandle(handle);
    if (!known) {
        return false;
    }
    identity.volume = information.dwVolumeSerialNumber;
    identity.index =
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

bool ResolveTreeRoot(const char* directory, TreeRoot& root) {
    root.resolvedPath = FinalPath(directory);
    return !root.resolvedPath.empty() && windows::IdentityOfDirectory(directory, root.identity);
}

bool LinkTargetLiesWithin(const char* link, const TreeRoot& root, DirectoryIdentity& target) {
    const std::string resolved = FinalPath(link);
    const std::string& top = root.resolvedPath;
    // Paths on Windows ignore letter case.
    return !top.empty() && resolved.size() >= top.size() &&
           std::equal(top.begin(), top.end(), resolved.begin(), SameLetters) &&
           (resolved.size() == top.size() || resolved[top.size()] == '\\') &&
           windows::IdentityOfDirectory(link, target);
}

bool IsPseudoFileSystem(const char* /*directory*/) {
    return false;
}

bool GetLastWriteTime(const char* /*path*/, const WIN32_FIND_DATAA& record, FILETIME& time) {
    time = record.ftLastWriteTime;
    return true;
}

// Ctrl+C on Windows ends the process from another thread; the listing is written in whole lines,
// so what reached the file is whole, and nothing more is attempted.
void CallOnInterrupt(void (* /*action*/)()) {}
void HoldInterrupts() {}
void ReleaseInterrupts() {}

void TakeWriteFailuresAsErrors() {}

std::string HostName() {
    char name[256] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size)) {
        return {};
    }
    return std::string(name, size);
}

void WriteInBinary(std::FILE* stream) {
    _setmode(_fileno(stream), _O_BINARY);
}

int DescriptorOf(std::FILE* stream) {
    return _fileno(stream);
}

// The twin of the POSIX loop: _write takes an unsigned int and never reports EINTR.
bool WriteToDescriptor(int descriptor, const char* bytes, std::size_t count, std::size_t& written) {
    constexpr std::size_t kLargestWrite = 1u << 30;  // _write takes an unsigned int
    written = 0;
    while (written < count) {
        const auto chunk = static_cast<unsigned>(std::min(count - written, kLargestWrite));
        const int got = _write(descriptor, bytes + written, chunk);
        if (got <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(got);
    }
    return true;
}

bool IsRegularFile(int descriptor) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}

void LockForAppending(int descriptor) {
    // A lock on a byte far past any content: Windows' locks keep other handles, this process's
    // own included, from reading and writing the bytes they cover.
    constexpr DWORD kFarOffsetHigh = 0x7FFFFFFF;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    OVERLAPPED at{};
    at.OffsetHigh = kFarOffsetHigh;
    LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at);
}

void ForEachTableString(const void* block, const std::string& table, const TableStringUse& use) {
    for (formats::ChildEntry& entry : formats::ChildEntries(formats::FilledBlock(block), table)) {
        void* value = nullptr;
        UINT valueLength = 0;
        const std::string query = table + "\\" + entry.key;
        if (VerQueryValueA(block, query.c_str(), &value, &valueLength)) {
            use(std::move(entry.key), static_cast<const char*>(value), valueLength);
        }
    }
}

bool CutBack(int descriptor, std::uint64_t count) {
    if (!IsRegularFile(descriptor)) {
        return false;
    }
    const __int64 end = _lseeki64(descriptor, 0, SEEK_CUR);
    if (end < 0 || static_cast<std::uint64_t>(end) < count) {
        return false;
    }
    return _chsize_s(descriptor, end - static_cast<__int64>(count)) == 0;
}

std::string ErrorText(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length)
                                                        : "error " + std::to_string(error);
    LocalFree(text);
    // The platform's messages end in a line break (and often a full stop): one line, as shown.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

namespace {

UINT consoleCodePage = 0;  // the console's own, to give back when the run ends

void GiveConsoleCodePageBack() {
    SetConsoleOutputCP(consoleCodePage);
}

}  // namespace

// A run ended by Ctrl+C leaves the console at UTF-8: the platform ends it without running this.
void PrepareConsole() {
    if (GetACP() == CP_UTF8 && StandardOutputIsConsole() && consoleCodePage == 0) {
        consoleCodePage = GetConsoleOutputCP();
        if (SetConsoleOutputCP(CP_UTF8)) {
            std::atexit(GiveConsoleCodePageBack);
        }
    }
}

bool StandardOutputIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool TextIsUtf8() {
    return GetACP() == CP_UTF8;
}

}  // namespace platform
