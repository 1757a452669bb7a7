// A listing file as quillet-compare reads it: its bytes, each line's place in them, and each
// path's last line, found by the path's key (the path as the roots map it). About 48 bytes a
// line beside the listing's own, so that two listings of a million lines fit in little more
// than their size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compare/listing_bytes.h"

namespace compare {

// A root of one listing and the root of the other that stands for the same place.
struct RootMapping {
    std::string old;
    std::string now;
};

// One line's fields, the first three without their padding.
struct ListingLine {
    std::string_view product, company, version, date, time, path;
};

enum class Side { Old, New };

class ListingIndex {
  public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // The listing in text, whose paths are keyed by side's roots. None, with what is wrong and
    // the line's number in error, when a line is not a listing line.
    static std::optional<ListingIndex> Parse(std::unique_ptr<ListingBytes> bytes,
                                             const std::vector<RootMapping>& roots, Side side,
                                             std::string& error);

    std::size_t Size() const { return entries.size(); }
    ListingLine Line(std::size_t index) const;
    // The line's text before its path: the padded version, product and company, then (with
    // times) the date and time. Equal for two lines exactly when those values are.
    std::string_view Values(std::size_t index, bool withTimes) const;
    // Whether the other listing's line is for the same path as this one's line at index.
    bool SamePath(std::size_t index, const ListingIndex& other, std::size_t otherIndex) const;
    // Whether lines[index] is the last line for its path.
    bool IsLastForItsPath(std::size_t index) const { return entries[index].last; }
    // This listing's last line for the path of the other listing's line, or npos.
    std::size_t Find(const ListingIndex& other, std::size_t otherIndex) const;
    // How many lines are for paths listed again further on.
    std::size_t Repeated() const { return repeated; }
    // The most slots one look-up has visited so far: small, whatever the paths.
    std::size_t LongestProbe() const { return longestProbe; }

  private:
    struct Entry {
        std::uint64_t start;  // of the line in text
        std::uint64_t hash;   // of the path's key
        std::uint32_t length;
        std::uint32_t path;  // where the path starts, from the line's start
        std::uint32_t date;  // where the date starts, from the line's start
        std::uint16_t root;  // the mapping the path lies under, or kNoRoot
        bool last;           // the last line for its path
    };
    static constexpr std::uint16_t kNoRoot = 0xFFFF;
    // Longer than any line quillet writes (its longest path, 32,767 characters of a Windows
    // path in UTF-8, and the longest values), so that no offset within a line outgrows the
    // entry's 32 bits and a file that is no listing is refused before it fills the memory.
    static constexpr std::size_t kLongestListingLine = 128 * 1024;
    // A slot: a line index + 1 (0 for a free slot) beneath the upper half of its key's hash, so
    // that most probes need not look at the line.
    static constexpr std::uint64_t kIndexBits = 0xFFFFFFFFu;
    struct Key {
        std::size_t root;  // the mapping its path lies under, or npos
        std::string_view rest;
    };
    Key KeyOf(std::string_view path) const;
    Key KeyAt(std::size_t index) const;
    // The slot for the key: the one holding its lines, or the free one it would go in.
    std::size_t SlotOf(const Key& key, std::uint64_t hash) const;
    void Build();
    // Indexes the whole lines of all from start on, start then being where the first line not
    // yet whole begins; false, with what is wrong in error, at a line that is no listing line.
    bool AddLines(std::string_view all, std::size_t& start, std::string& error);

    std::unique_ptr<ListingBytes> bytes;  // where every view lies
    std::string_view text;
    const std::vector<RootMapping>* roots = nullptr;
    Side side = Side::Old;
    std::vector<Entry> entries;
    std::vector<std::uint64_t> slots;
    std::size_t repeated = 0;
    mutable std::size_t longestProbe = 0;
};

}  // namespace compare
