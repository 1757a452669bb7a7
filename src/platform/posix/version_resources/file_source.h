// Positioned, bounds-checked reads from one regular file. The first bytes of the file are read once
// on opening (the headers nearly always lie there) and one further window is kept, so that walking
// a resource directory costs one or two reads; the file is never read or mapped whole.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>

#include <sys/stat.h>
#include <sys/types.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_tree.h"
#include "platform/formats/byte_view.h"
#include "platform/platform.h"
#include "platform/posix/long_paths.h"

namespace platform::posix {

using formats::AlignTo4;
using formats::ByteView;

// A directory held open for the files looked at in it: found by its path and checked to be the
// directory of an identity, so that a name is looked up there and nowhere else. Kept for the next
// look in the same directory, as a walk's looks mostly come a directory at a time.
class HeldDirectory {
  public:
    HeldDirectory() = default;
    ~HeldDirectory();
    HeldDirectory(const HeldDirectory&) = delete;
    HeldDirectory& operator=(const HeldDirectory&) = delete;

    // A descriptor of directory (ending in the separator) if it is the one of identity; -1
    // otherwise, with errno ENOENT when the path leads to another directory.
    int Hold(std::string_view directory, const DirectoryIdentity& identity, Lookup lookup);

  private:
    void Release();
    std::string path;
    DirectoryIdentity held;
    int descriptor = -1;
};

class FileSource {
  public:
    static constexpr std::size_t kWindowSize = 4096;
    // Reads larger than this come only from damaged or hostile files (a version block is at most
    // 64 KiB; it takes 1,639 sections or 8,193 resource entries to pass it). The look at such a
    // file holds a lock of its own from its first large read to its close, so that threads reading
    // ahead never hold the tables of several such files at once.
    static constexpr std::size_t kLargestOrdinaryRead = 64 * 1024;

    // From memory only: every lookup and read that would wait for the device fails instead,
    // with Error() EAGAIN (so does any read where the file system cannot tell).
    explicit FileSource(Lookup lookup = Lookup::MayWait) : lookup(lookup) {}
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    ~FileSource();

    // Opens path for reading when it names a regular file; anything else (a directory, a FIFO, a
    // device node, a socket) is refused without being opened, so that nothing can block or stir a
    // device, even when the name is switched to one while it is being opened. With within, the
    // file's name is looked up only in the directory of that identity (held by directories, or
    // opened for this look), so that a directory on the way switched for a link since it was
    // listed leads nowhere: such a file has gone (ENOENT). Call once.
    bool Open(const char* path, const DirectoryIdentity* within = nullptr,
              HeldDirectory* directories = nullptr);
    // Why Open or a read failed (errno), or 0: none, or path named no regular file.
    int Error() const { return error; }

    std::uint64_t Size() const { return fileSize; }
    // Whether the file system marks the file deleted (only a file tree's can be).
    bool Deleted() const { return deleted; }
    // The opened file's last modification time, as its status gave it when it was opened.
    const timespec& Modified() const { return modified; }

    // A view of count bytes (at most kWindowSize) at offset, valid until the next call; none when
    // the range is not wholly inside the file.
    std::optional<ByteView> View(std::uint64_t offset, std::size_t count);

    // count bytes at offset, read into storage unless they are already at hand; none when the range
    // is not wholly inside the file. A count over kLargestOrdinaryRead waits for other such looks.
    std::optional<ByteView> Read(std::uint64_t offset, std::size_t count,
                                 std::vector<std::uint8_t>& storage);

    // Fills out with the bytes at offset; false when the range is not wholly inside the file.
    bool ReadInto(std::uint64_t offset, std::uint8_t* out, std::size_t count);

  private:
    bool InFile(std::uint64_t offset, std::uint64_t count) const {
        return offset <= fileSize && count <= fileSize - offset;
    }
    std::optional<ByteView> FromCache(std::uint64_t offset, std::size_t count) const;
    bool ReadFully(std::uint64_t offset, std::uint8_t* out, std::size_t count);
    ssize_t Pread(std::uint8_t* out, std::size_t count, std::uint64_t offset) const;
    // A descriptor for reading the regular file path names, with its status; -1 otherwise.
    int OpenRegular(const char* path, const DirectoryIdentity* within, HeldDirectory* directories,
                    struct stat& opened);
    // An O_PATH descriptor of what path names, found in the directory within if given.
    int Pin(const char* path, const DirectoryIdentity* within, HeldDirectory* directories);
    int ReopenForReading(int pinned, const char* path, const struct stat& status);
    int OpenNamedAgain(const char* path, const struct stat& looked);
    // Opens path in the file tree in use.
    bool OpenInTree(FileTree& tree, const char* path);

    std::unique_lock<std::mutex> largeReads;
    const Lookup lookup;
    int fd = -1;
    std::unique_ptr<TreeFile> treeFile;  // in place of fd, in a file tree
    bool deleted = false;
    int error = 0;
    std::uint64_t fileSize = 0;
    timespec modified{};
    // Left uninitialised: only the first headSize and windowSize bytes are ever read.
    std::array<std::uint8_t, kWindowSize> head;
    std::size_t headSize = 0;
    std::array<std::uint8_t, kWindowSize> window;
    std::uint64_t windowOffset = 0;
    std::size_t windowSize = 0;
};

}  // namespace platform::posix
