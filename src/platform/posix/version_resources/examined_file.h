// The one look at a candidate file: one open, in which its version resource (if any) and its
// modification time are both read. The version calls and the listing's time take what one look
// found (see read_ahead.h), so a file is opened once however many of them ask.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/long_paths.h"
#include "platform/posix/version_resources/file_source.h"

namespace platform::posix {

// The smallest version block: one node header.
inline constexpr std::size_t kSmallestBlock = 6;

struct Examination {
    bool opened = false;                 // a regular file that could be opened
    std::vector<std::uint8_t> resource;  // the version resource, bytes past the file as zeros
    FILETIME modified{};                 // as the open file's status gave it
    int error = 0;  // errno of an open or read that failed; 0 for a file that is not regular
    bool wouldWait = false;  // from memory only, and the device was needed
    // What the run asked for beyond these (LookExtrasOfRun).
    std::uint64_t size = 0;
    bool deleted = false;  // marked deleted by its file system (a file tree's)
    formats::ImageFacts image;
    std::optional<std::string> digest;
    std::shared_ptr<const SignatureVerdict> signature;
    int digestError = 0;  // errno of a read for the digest or the check that failed
};

// Opens path once, if it names a regular file, and reads its version resource and its time;
// from memory only, if asked, or not at all; and what the run's LookExtras ask for. With within,
// only a file found in the directory of that identity, held by directories if given (see
// FileSource::Open).
Examination LookAtFile(const char* path, Lookup lookup = Lookup::MayWait,
                       const DirectoryIdentity* within = nullptr,
                       HeldDirectory* directories = nullptr);

}  // namespace platform::posix
