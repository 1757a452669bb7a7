// One look at each file: GetFileVersionInfoSizeA reads the version resource and the file's time
// once, and GetFileVersionInfoA and the listing's time (platform::GetLastWriteTime) that follow for
// the same path take them from here instead of opening the file again. Bounded: the one file last
// examined, at most a version block's 64 KiB. Each part is handed out once, so nothing is served
// stale to a later, separate call. Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/posix/version_resources/file_source.h"
#include "platform/posix/windows_api.h"

namespace platform::posix {

// The smallest version block: one node header.
inline constexpr std::size_t kSmallestBlock = 6;

struct Examination {
    bool opened = false;                 // a regular file that could be opened
    std::vector<std::uint8_t> resource;  // the version resource, bytes past the file as zeros
    FILETIME modified{};                 // as the open file's status gave it
    FileIdentity identity;               // of the file opened, to tell a later change
};

// Opens path once and reads its version resource (if any) and its time.
Examination LookAtFile(const char* path);

// Keeps what was found for path, for the calls that follow.
void KeepExamination(const char* path, Examination examination);
// The resource kept for path, handed out once; empty when another path was examined since.
std::vector<std::uint8_t> TakeKeptResource(const char* path);
// The time kept for path, handed out once.
std::optional<FILETIME> TakeKeptTime(const char* path);

}  // namespace platform::posix
