// The bytes of a listing file, read into memory a piece at a time, so that what is read can be
// checked as it comes. Read rather than mapped: a listing is often a file that another run is
// rewriting, and a mapped file cut short under the reader ends it with SIGBUS; a read file is a
// copy, and one that changed while it was read is refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace compare {

class ListingBytes {
  public:
    enum class Progress { More, End, Failed };
    using ChangeStamp = std::array<std::int64_t, 4>;

    // The file, open and not yet read; none, with what went wrong in error, when it cannot be
    // opened.
    static std::unique_ptr<ListingBytes> Open(const std::string& path, std::string& error);
    // Bytes already in memory, all of them read (for the fuzz target and the tests).
    static std::unique_ptr<ListingBytes> FromText(std::string_view text);
    ~ListingBytes();
    ListingBytes(const ListingBytes&) = delete;
    ListingBytes& operator=(const ListingBytes&) = delete;

    // What has been read so far; the view moves when more is read.
    std::string_view Text() const { return {bytes, size}; }
    // Reads the next piece onto the end of Text(). End once the file is read whole; Failed, with
    // what went wrong in error, when it cannot be read, changed (grew, shrank or was rewritten)
    // while it was read, or does not fit in memory.
    Progress ReadMore(std::string& error);

  private:
    ListingBytes() = default;
    bool MakeRoom(std::size_t wanted);
    bool Unchanged() const;

    int descriptor = -1;
    bool regular = false;
    std::uint64_t expectedSize = 0;  // of a regular file, as it was when opened
    ChangeStamp opened{};            // and its inode, size and modification time then
    // Room that is not cleared first (a listing can be hundreds of megabytes), in large pages
    // where the system has them, which spares most of the cost of touching it.
    char* bytes = nullptr;
    std::size_t room = 0;
    std::size_t size = 0;
};

}  // namespace compare
