// The bytes of a listing file, whole: mapped where the system can (no copy of hundreds of
// megabytes), read into memory elsewhere.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace compare {

class ListingBytes {
  public:
    // None, with errno set, when the file cannot be read.
    static std::unique_ptr<ListingBytes> Open(const std::string& path);
    // Bytes already in memory (for the fuzz target and the tests).
    static std::unique_ptr<ListingBytes> FromText(std::string text);
    ~ListingBytes();
    ListingBytes(const ListingBytes&) = delete;
    ListingBytes& operator=(const ListingBytes&) = delete;

    std::string_view Text() const { return text; }

  private:
    ListingBytes() = default;
    std::string read;        // the file, where it was read rather than mapped
    void* mapped = nullptr;  // the mapping, where it was mapped
    std::size_t mappedSize = 0;
    std::string_view text;
};

}  // namespace compare
