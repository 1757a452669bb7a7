// The bytes of a listing file, whole, read into memory. Read rather than mapped: a listing is
// often a file that another run is rewriting, and a mapped file cut short under the reader ends it
// with SIGBUS; a read file is a copy, and one that changed while it was read is refused.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace compare {

class ListingBytes {
  public:
    // None, with what went wrong in error, when the file cannot be read whole, or changed (grew,
    // shrank or was rewritten) while it was read.
    static std::unique_ptr<ListingBytes> Open(const std::string& path, std::string& error);
    // Bytes already in memory (for the fuzz target and the tests).
    static std::unique_ptr<ListingBytes> FromText(std::string text);

    std::string_view Text() const { return {bytes.get(), size}; }

  private:
    ListingBytes() = default;
    // Read into room that is not cleared first: a listing can be hundreds of megabytes.
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
};

}  // namespace compare
