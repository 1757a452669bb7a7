// The read-ahead's work on Windows, and the find and version calls the walk and the listing make,
// served from it. The platform's own calls are named in parentheses here, so that the walk's
// macros for them (platform.h) do not apply.

#include "platform/read_ahead_work.h"

#include "platform/formats/authenticode.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <thread>

#ifndef FIND_FIRST_EX_LARGE_FETCH
#define FIND_FIRST_EX_LARGE_FETCH 2
#endif

namespace platform {

namespace windows {

namespace {

constexpr const char* kWildcard = "*.*";
// A version block's root is at most 64 KiB, and the platform asks for a few times that; a look
// that claims more is left to the walk's own call.
constexpr DWORD kLargestBlockReadAhead = 1u << 20;

// The find handles this layer gives out: a listing and how far it has been delivered.
struct FindListing {
    DirectoryListing listing;
    std::size_t next = 0;
};

bool Deliver(FindListing& found, WIN32_FIND_DATAA* record) {
    while (found.next < found.listing.entries.size()) {
        const ListedEntry& entry = found.listing.entries[found.next++];
        if (entry.name.size() >= sizeof record->cFileName) {
            continue;  // the platform's own record holds no longer name
        }
        std::memset(record, 0, sizeof *record);
        record->dwFileAttributes = entry.attributes;
        record->ftLastWriteTime = entry.written;
        record->nFileSizeHigh = entry.sizeHigh;
        record->nFileSizeLow = entry.sizeLow;
        std::memcpy(record->cFileName, entry.name.c_str(), entry.name.size() + 1);
        return true;
    }
    return false;
}

void LoadBlock(const std::string& extended, VersionLook& look) {
    DWORD unused = 0;
    look.size = (::GetFileVersionInfoSizeA)(extended.c_str(), &unused);
    look.sizeError = GetLastError();
    if (look.size == 0) {
        return;
    }
    if (look.size > kLargestBlockReadAhead) {
        look.loadInPlace = true;
        return;
    }
    look.block.assign(std::size_t{look.size} + 1, 0);
    look.loaded = (::GetFileVersionInfoA)(extended.c_str(), 0, look.size, look.block.data());
    look.loadError = GetLastError();
}

void LookAt(const std::string& path, VersionLook& look) {
    const std::string extended = ExtendedPath(path.c_str());
    LoadBlock(extended, look);
    const LookExtras& extras = LookExtrasOfRun();
    if (extras.headers || extras.digest != nullptr || extras.check != nullptr) {
        look.factsRead = ReadFileFacts(extended, look.size != 0, look.facts);
        look.factsError = look.factsRead ? ERROR_SUCCESS : GetLastError();
    }
}

// The path as the wide calls take it, converted as the ANSI calls convert theirs. Wine's ANSI
// CreateFileA refuses a path past 260 characters even behind the \\?\ prefix; its wide call
// does not.
std::wstring WidePath(const std::string& path) {
    const int units = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(units > 0 ? static_cast<std::size_t>(units) : 1, L'\0');
    if (units > 0) {
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), units);
    }
    wide.resize(wide.size() - 1);
    return wide;
}

// Reads of an open file at offsets of its own, so that the header's views and the digest's
// pieces need no seeking between them.
class OpenFile {
  public:
    explicit OpenFile(const std::string& extendedPath)
        : handle(CreateFileW(WidePath(extendedPath).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {}
    ~OpenFile() {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    bool Opened() const { return handle != INVALID_HANDLE_VALUE; }
    bool Size(std::uint64_t& size) const {
        LARGE_INTEGER answer{};
        if (!GetFileSizeEx(handle, &answer)) {
            return false;
        }
        size = static_cast<std::uint64_t>(answer.QuadPart);
        return true;
    }
    // Up to count bytes at offset into out: how many were read, none on a failure.
    std::optional<std::size_t> ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
        if (!ReadFile(handle, out, asked, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) {
                return 0;
            }
            return std::nullopt;
        }
        return got;
    }

  private:
    HANDLE handle;
};

// The headers' views, served from one window of the file read at a time: the headers, the
// section table and most of what the build facts need lie in the file's first window, so that a
// file on a share costs a round trip or two rather than one for each structure.
class HeaderReads {
  public:
    HeaderReads(OpenFile& file, std::uint64_t size) : file(file), size(size) {}

    std::optional<formats::ByteView> View(std::uint64_t offset, std::size_t count) {
        if (offset > size || count > size - offset) {
            return std::nullopt;
        }
        if (offset < windowOffset || offset + count > windowOffset + window.size()) {
            const auto wanted = static_cast<std::size_t>(
                std::min<std::uint64_t>(std::max(count, kWindow), size - offset));
            window.assign(wanted, 0);
            const auto got = file.ReadAt(offset, window.data(), wanted);
            if (!got || *got != wanted) {
                window.clear();
                return std::nullopt;
            }
            windowOffset = offset;
        }
        return formats::ByteView(window.data() + (offset - windowOffset), count);
    }

  private:
    static constexpr std::size_t kWindow = 64 * 1024;
    OpenFile& file;
    std::uint64_t size;
    std::vector<std::uint8_t> window;
    std::uint64_t windowOffset = 0;
};

formats::ImageFacts ImageFactsOf(OpenFile& file, std::uint64_t size) {
    HeaderReads reads(file, size);
    return formats::ReadImageFacts(
        [&](std::uint64_t offset, std::size_t count) { return reads.View(offset, count); });
}

// The file's content from its start, a piece at a time.
ReadContent ContentOf(OpenFile& file, std::uint64_t size) {
    return [&file, size, offset = std::uint64_t{0}](
               std::span<std::uint8_t> buffer) mutable -> std::optional<std::size_t> {
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
        const auto got = file.ReadAt(offset, buffer.data(), count);
        if (!got || *got != count) {
            if (got) {
                SetLastError(ERROR_HANDLE_EOF);  // it shrank while it was read
            }
            return std::nullopt;
        }
        offset += count;
        return count;
    };
}

// Why what the content was read for is missing: a read that failed says why; else it was the
// digest itself that could not be made.
DWORD ContentError() {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
}

// The signature checked (the check looks a file without a table up in the system's catalogs), and
// the digest, where wanted, made in the same read.
void CheckSignature(OpenFile& file, const std::string& extendedPath, const LookExtras& extras,
                    bool versioned, FileFacts& facts) {
    SignedContent content{*facts.image.signature, facts.size, {}, extendedPath};
    const formats::SignatureLocation& location = content.location;
    if (location.tableSize != 0 && location.tableSize <= formats::kLargestCertificateTable &&
        location.tableOffset <= facts.size &&
        location.tableSize <= facts.size - location.tableOffset) {
        content.table.resize(location.tableSize);
        const auto got =
            file.ReadAt(location.tableOffset, content.table.data(), content.table.size());
        if (!got || *got != content.table.size()) {
            facts.digestError = ContentError();
            return;
        }
    }
    SetLastError(ERROR_SUCCESS);
    std::optional<std::string> digest;
    facts.signature = extras.check(content, ContentOf(file, facts.size),
                                   extras.DigestWanted(versioned) ? &digest : nullptr);
    facts.digest = std::move(digest);
    if (!facts.signature) {
        facts.digestError = ContentError();
    }
}

}  // namespace

BOOL ReadFileFacts(const std::string& extendedPath, bool versioned, FileFacts& facts) {
    OpenFile file(extendedPath);
    if (!file.Opened() || !file.Size(facts.size)) {
        return FALSE;
    }
    const LookExtras& extras = LookExtrasOfRun();
    if (extras.headers) {
        facts.image = ImageFactsOf(file, facts.size);
    }
    if (extras.CheckWanted(versioned) && facts.image.signature) {
        CheckSignature(file, extendedPath, extras, versioned, facts);
    } else if (extras.DigestWanted(versioned)) {
        SetLastError(ERROR_SUCCESS);
        facts.digest = extras.digest(ContentOf(file, facts.size));
        facts.digestError = facts.digest ? ERROR_SUCCESS : ContentError();
    }
    return TRUE;
}

void ListDirectory(const std::string& directory, DirectoryListing& listing) {
    listing.opened = IdentityOfDirectory(directory.c_str(), listing.identity);
    listing.error = listing.opened ? ERROR_SUCCESS : GetLastError();
    WIN32_FIND_DATAA record;
    const std::string pattern = ExtendedPath((directory + kWildcard).c_str());
    HANDLE handle = (::FindFirstFileExA)(pattern.c_str(), FindExInfoBasic, &record,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (handle == INVALID_HANDLE_VALUE) {
        listing.listError = GetLastError();
        return;
    }
    listing.listed = true;
    do {
        listing.entries.push_back({record.dwFileAttributes, record.ftLastWriteTime,
                                   record.nFileSizeHigh, record.nFileSizeLow, record.cFileName});
    } while ((::FindNextFileA)(handle, &record));
    listing.listError = GetLastError();  // the end, or the reason the listing ended before it
    (::FindClose)(handle);
}

HANDLE FindFirst(LPCSTR pattern, WIN32_FIND_DATAA* record) {
    if (pattern == nullptr || record == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string_view whole(pattern);
    if (!whole.ends_with(kWildcard)) {
        SetLastError(ERROR_INVALID_PARAMETER);  // the walk lists whole directories only
        return INVALID_HANDLE_VALUE;
    }
    const std::string directory(whole.substr(0, whole.size() - std::strlen(kWildcard)));
    auto* found = new FindListing;
    if (platform::ReadAheadJob* job = platform::WalksJob(directory, platform::JobKind::List)) {
        found->listing = std::move(job->listing);
    } else {
        ListDirectory(directory, found->listing);
    }
    if (!found->listing.listed || !Deliver(*found, record)) {
        SetLastError(found->listing.listed ? ERROR_FILE_NOT_FOUND : found->listing.listError);
        delete found;
        return INVALID_HANDLE_VALUE;
    }
    return found;
}

BOOL FindNext(HANDLE listing, WIN32_FIND_DATAA* record) {
    if (listing == nullptr || listing == INVALID_HANDLE_VALUE || record == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto& found = *static_cast<FindListing*>(listing);
    if (Deliver(found, record)) {
        return TRUE;
    }
    SetLastError(found.listing.listError);
    return FALSE;
}

BOOL FindEnd(HANDLE listing) {
    if (listing == nullptr || listing == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    delete static_cast<FindListing*>(listing);
    return TRUE;
}

DWORD VersionInfoSize(LPCSTR path, LPDWORD handle) {
    if (handle != nullptr) {
        *handle = 0;
    }
    if (platform::ReadAheadJob* job = platform::WalksJob(path, platform::JobKind::Look)) {
        SetLastError(job->look.sizeError);
        return job->look.size;
    }
    return (::GetFileVersionInfoSizeA)(ExtendedPath(path).c_str(), handle);
}

BOOL VersionInfo(LPCSTR path, DWORD handle, DWORD length, LPVOID data) {
    platform::ReadAheadJob* job = platform::WalksJob(path, platform::JobKind::Look);
    if (job != nullptr && !job->look.loadInPlace) {
        if (!job->look.loaded || data == nullptr) {
            SetLastError(job->look.loaded ? ERROR_INVALID_PARAMETER : job->look.loadError);
            return FALSE;
        }
        std::memcpy(data, job->look.block.data(), std::min<std::size_t>(length, job->look.size));
        return TRUE;
    }
    return (::GetFileVersionInfoA)(ExtendedPath(path).c_str(), handle, length, data);
}

}  // namespace windows

bool GetFileFacts(const char* path, const WIN32_FIND_DATAA& /*record*/, FileFacts& facts) {
    if (platform::ReadAheadJob* job = platform::WalksJob(path, platform::JobKind::Look)) {
        facts = job->look.facts;
        SetLastError(job->look.factsError);
        return job->look.factsRead != FALSE;
    }
    DWORD unused = 0;
    const std::string extended = windows::ExtendedPath(path);
    const bool versioned = (::GetFileVersionInfoSizeA)(extended.c_str(), &unused) != 0;
    return windows::ReadFileFacts(extended, versioned, facts) != FALSE;
}

void DoReadAheadJob(platform::ReadAheadJob& job, Lookup /*lookup*/, WorkerState& /*state*/,
                    const WalkRules& rules, bool /*keepOpen*/) {
    if (job.kind == platform::JobKind::Look) {
        windows::LookAt(job.path, job.look);
        return;
    }
    // The walk enters every volume on Windows (no file system there is a kernel's pseudo one),
    // so every directory is read.
    static_cast<void>(rules);
    windows::ListDirectory(job.path, job.listing);
}

std::size_t ProcessorsAllowed() {
    return std::max(std::thread::hardware_concurrency(), 1u);
}

// Windows delivers no signals to threads: start runs as it is.
void StartThreadsWithoutSignals(const std::function<void()>& start) {
    start();
}

}  // namespace platform
