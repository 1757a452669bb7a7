// The one place that decides where the Windows calls come from: the platform's own headers on
// Windows, this project's stand-ins everywhere else. Everything above src/platform includes this
// header and nothing platform-specific.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include "platform/posix/windows_api.h"
#endif

// What the platform headers do not carry: the few facts and helpers in which the two builds differ.
namespace platform {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
inline constexpr const char* kSearchSuffix = "\\*.*";
#else
inline constexpr char kPathSeparator = '/';
inline constexpr const char* kSearchSuffix = "/*.*";
#endif

// Identifies a directory on its volume, so that the walk can tell a directory it has entered
// already, whatever path leads to it.
struct DirectoryIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend bool operator==(const DirectoryIdentity&, const DirectoryIdentity&) = default;
};

// The walk recurses, and holds each level's path until the level is done: bounds on both keep its
// stack and its memory bounded on a hostile tree. The deepest paths of a Windows volume (32,767
// characters) fit; a directory deeper, or with a longer search pattern, is not entered. The POSIX
// read-ahead keeps within them too.
inline constexpr int kWalkDeepestLevel = 4096;
inline constexpr std::size_t kWalkLongestPattern = 32 * 1024;

// False when the directory cannot be examined; the walk then simply does not enter it.
bool GetDirectoryIdentity(const char* directory, DirectoryIdentity& identity);

// The directory a run lists, with links resolved, so that the walk can tell a link that leads out
// of it. POSIX systems compare identities, Windows resolved paths.
struct TreeRoot {
    DirectoryIdentity identity;
    std::string resolvedPath;
};
bool ResolveTreeRoot(const char* directory, TreeRoot& root);

// True when the directory that link (a link to a directory) leads to is the root or lies beneath
// it.
bool LinkTargetLiesWithin(const char* link, const TreeRoot& root);

// True for the file systems through which a kernel shows its own state (proc, sysfs, devpts,
// cgroup, debugfs, ...): they hold no programs, and walking them can take forever or stir devices.
bool IsPseudoFileSystem(const char* directory);

// The last write time of the file entry record describes, found at path. The POSIX listing reads
// an entry's times only when they are asked for here; false when the file cannot be examined.
bool GetLastWriteTime(const char* path, const WIN32_FIND_DATAA& record, FILETIME& time);

// From now on, SIGINT and SIGTERM run action (which must be safe in a signal handler) and then end
// the process as the signal would have. POSIX systems; the Windows build installs nothing.
void CallOnInterrupt(void (*action)());

// Between these two the action waits, so that it never writes what is being written already.
void HoldInterrupts();
void ReleaseInterrupts();

// The stream's descriptor, and an unbuffered write of all of bytes to it that is safe in a signal
// handler. False when not everything could be written.
int DescriptorOf(std::FILE* stream);
bool WriteToDescriptor(int descriptor, const char* bytes, std::size_t count);

// True when standard output is an interactive console rather than a file or a pipe.
bool StandardOutputIsConsole();

// True when the texts that the ANSI calls deliver are UTF-8, so that cutting them must respect
// multi-byte characters.
bool TextIsUtf8();

}  // namespace platform
