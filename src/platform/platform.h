// The one place that decides where the Windows calls come from: the platform's own headers on
// Windows, this project's stand-ins everywhere else. Everything above src/platform includes this
// header and nothing platform-specific.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace platform::windows {
// The path to hand the platform's file calls for path: its directory made a full path (as
// GetFullPathNameA makes it), its last name kept as it is, behind the \\?\ prefix (or \\?\UNC
// for a share). The prefix turns the platform's rules for device names off, so that a file named
// com1.dll or nul.dll is a file, and lets paths past 260 characters reach the calls.
std::string ExtendedPath(const char* path);
}  // namespace platform::windows

namespace platform::windows {
// The platform's find and version calls as the walk and the listing make them: from the walk's
// read-ahead (src/read_ahead) when a walk is under way, else in place; either way on the path
// extended (see ExtendedPath), while the paths the walk builds and lists stay the directory as
// typed joined with the names found. A find handle from FindFirst is this layer's own.
HANDLE FindFirst(LPCSTR pattern, WIN32_FIND_DATAA* record);
BOOL FindNext(HANDLE listing, WIN32_FIND_DATAA* record);
BOOL FindEnd(HANDLE listing);
DWORD VersionInfoSize(LPCSTR path, LPDWORD handle);
BOOL VersionInfo(LPCSTR path, DWORD handle, DWORD length, LPVOID data);
}  // namespace platform::windows

#define FindFirstFileA(pattern, record) platform::windows::FindFirst(pattern, record)
#define FindNextFileA(listing, record) platform::windows::FindNext(listing, record)
#define FindClose(listing) platform::windows::FindEnd(listing)
#define GetFileVersionInfoSizeA(path, handle) platform::windows::VersionInfoSize(path, handle)
#define GetFileVersionInfoA(path, handle, length, data) \
    platform::windows::VersionInfo(path, handle, length, data)
#else
#include "platform/posix/windows_api.h"
#endif

#include "platform/formats/image_facts.h"

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

// What the walk decides about one entry of a directory listing, and the facts it decides on: the
// walk's rules take these and nothing else, so that whatever runs ahead of the walk can apply
// them to directories the walk has not reached and read exactly what the walk will.
enum class EntryKind { File, Directory, DirectoryLink };
struct WalkEntry {
    EntryKind kind;
    std::string_view name;
    int depth;               // the walk's top is 0, its entries 1
    std::size_t pathLength;  // of the entry's path: its directory, the separator, its name
};
enum class WalkStep {
    PassOver,  // neither entered nor handed on
    Examine,   // handed to ExamineFile
    Enter,     // walked, unless entered before or on a pseudo file system
    Follow,    // a link: walked as Enter is, if it leads to a directory inside the tree
};
struct WalkRules {
    WalkStep (*decide)(const WalkEntry& entry);
    // Whether a directory found on volume, inside a directory on parentVolume (none for the top),
    // may be entered; may examine the directory's file system.
    bool (*mayEnterVolume)(std::optional<std::uint64_t> parentVolume, std::uint64_t volume,
                           const char* directory);
};

// The kind a listing's record gives an entry.
constexpr EntryKind EntryKindOf(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return EntryKind::File;
    }
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryKind::DirectoryLink
                                                            : EntryKind::Directory;
}

// Whether work may wait for the device, or must be served from what the kernel holds in memory
// (failing where it would wait): how the read-ahead keeps a warm cache from being crowded.
enum class Lookup { MayWait, FromMemory };

// Work done ahead of the walk, in the walk's order and by its rules (src/read_ahead). While one
// lives, the calls above for the directories and files the walk reaches take what it has ready: a
// pool of threads lists the directories the walk will enter and looks at the candidates it will
// examine, the walk's own thread doing in place what no thread has begun. The walk that owns it
// makes every call from one thread.
class ReadAhead {
  public:
    explicit ReadAhead(const WalkRules& rules);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The walk is about to list directory (ending in the separator), at depth, found inside a
    // directory on parentVolume (none for the top). Directories read ahead are known already.
    void Entering(const std::string& directory, int depth,
                  std::optional<std::uint64_t> parentVolume);

  private:
    struct Queue;
    Queue* queue = nullptr;
};

// False when the directory cannot be examined; the walk then simply does not enter it. With
// parent, also the identity of the directory its ".." leads to, where the platform can tell it
// from the same look (POSIX systems; none on Windows), so that the walk can tell a directory
// still found where it was listed from a name switched since to lead elsewhere.
bool GetDirectoryIdentity(const char* directory, DirectoryIdentity& identity,
                          std::optional<DirectoryIdentity>* parent = nullptr);

// The directory a run lists, with links resolved, so that the walk can tell a link that leads out
// of it. POSIX systems compare identities, Windows resolved paths.
struct TreeRoot {
    DirectoryIdentity identity;
    std::string resolvedPath;
};
bool ResolveTreeRoot(const char* directory, TreeRoot& root);

// True when the directory that link (a link to a directory) leads to is the root or lies beneath
// it; target is then that directory's identity, which the walk checks it lists.
bool LinkTargetLiesWithin(const char* link, const TreeRoot& root, DirectoryIdentity& target);

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

// From now on a write that fails for want of room, for a file-size limit or for want of a reader
// (a pipe whose reader has gone) fails as a write, rather than ending the process with a signal.
// POSIX systems; on Windows such writes fail as writes already.
void TakeWriteFailuresAsErrors();

// The stream's descriptor, and an unbuffered write of all of bytes to it that is safe in a signal
// handler: false when not everything could be written, with written saying how much was.
int DescriptorOf(std::FILE* stream);
bool WriteToDescriptor(int descriptor, const char* bytes, std::size_t count, std::size_t& written);

// The machine's name (its host name; on Windows, its DNS host name), or empty.
std::string HostName();

// Sets stream to write its bytes as they are (Windows translates line feeds in text mode).
void WriteInBinary(std::FILE* stream);

// Whether the descriptor is open on a regular file (not a pipe, a console or a device).
bool IsRegularFile(int descriptor);
// Takes the lock that runs appending to one file share, waiting while another holds it; released
// when the file is closed. Where the file system has no locks, the run goes on without one.
void LockForAppending(int descriptor);
// Takes the last count bytes written back off the regular file the descriptor is open on, its
// position being the end of what was written. Safe in a signal handler. False where that cannot
// be done (a pipe, a device).
bool CutBack(int descriptor, std::uint64_t count);

// What the one look at a candidate finds beyond what the listing needs, for a program that wants
// more of each file (GetFileFacts). Set once, before a walk; by default nothing, so that the
// listing's looks read no more than it needs.
//
// A file's content read from its start a piece at a time: how many bytes were put into buffer,
// 0 at the end, none when the content could not be read (GetLastError says why).
using ReadContent = std::function<std::optional<std::size_t>(std::span<std::uint8_t> buffer)>;
// A digest of a file's whole content as text, read through read; none when it could not be read.
using ContentDigest = std::optional<std::string> (*)(const ReadContent& read);
// What a run that verifies signatures made of one, carried from the look to the run's per-file
// step; the platform does not look inside.
struct SignatureVerdict {
    virtual ~SignatureVerdict() = default;
};
// A signed file as the run's check reads it: where its signature lies, its size, and the
// certificate table's bytes (empty where the table does not lie wholly in the file, or is larger
// than formats::kLargestCertificateTable). On Windows, every PE file is checked, with its path:
// one without a table may be signed through the system's catalogs.
struct SignedContent {
    formats::SignatureLocation location;
    std::uint64_t size = 0;
    std::vector<std::uint8_t> table;
    std::string path;  // as the platform's calls take it; Windows only
};
// Verifies the signature, reading the content through read from its start, once; where digest
// is given, makes the run's digest of the content into it in the same read. Null where the
// content could not be read.
using SignatureCheck = std::shared_ptr<const SignatureVerdict> (*)(
    const SignedContent& content, const ReadContent& read, std::optional<std::string>* digest);
struct LookExtras {
    bool headers = false;            // what the image's headers say
    ContentDigest digest = nullptr;  // of each file with a version resource
    SignatureCheck check = nullptr;  // of each PE file with a version resource (see SignedContent)
    bool unversionedToo = false;     // the digest and the check of each without, too

    bool DigestWanted(bool versioned) const {
        return digest != nullptr && (versioned || unversionedToo);
    }
    bool CheckWanted(bool versioned) const {
        return check != nullptr && (versioned || unversionedToo);
    }
};
void SetLookExtras(const LookExtras& extras);
const LookExtras& LookExtrasOfRun();

struct FileFacts {
    std::uint64_t size = 0;
    bool deleted = false;  // marked deleted by its file system, which still holds it (an image's)
    formats::ImageFacts image;
    std::optional<std::string> digest;  // where one was asked for and the content was read
    // Where a check was made (of a file with a certificate table; on Windows, of every PE file);
    // none where none was, as for a file with no table on a POSIX system.
    std::shared_ptr<const SignatureVerdict> signature;
    DWORD digestError = 0;  // why a digest asked for is missing (never 0 then); 0 otherwise
};
// What the look at the candidate path found, record being its listing's record; false when the
// file could not be examined.
bool GetFileFacts(const char* path, const WIN32_FIND_DATAA& record, FileFacts& facts);

// Every string of the string table that table names ("\\StringFileInfo\\040904B0") in a block
// GetFileVersionInfoA filled, in the table's order: each name with the value VerQueryValueA
// answers for the table and that name (value and length as it gives them). A name met again
// ignoring letter case, or one no query reaches (empty, or holding a backslash), is left out, as
// a query finds only the first. On POSIX systems one pass over the table, however many strings it
// holds; on Windows each value is asked of the platform's query.
using TableStringUse = std::function<void(std::string&& name, const char* value, UINT length)>;
void ForEachTableString(const void* block, const std::string& table, const TableStringUse& use);

// What an error code of the platform's (GetLastError) means, as a line of text.
std::string ErrorText(DWORD error);

// Shows the run's texts as they are: on Windows, where texts are UTF-8 (the programs' manifest
// sets the code page), a console is set to show UTF-8 for the run. POSIX systems: nothing.
void PrepareConsole();

// True when standard output is an interactive console rather than a file or a pipe.
bool StandardOutputIsConsole();

// True when the texts that the ANSI calls deliver are UTF-8, so that cutting them must respect
// multi-byte characters.
bool TextIsUtf8();

}  // namespace platform
