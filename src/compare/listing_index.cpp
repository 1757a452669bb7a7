#include "compare/listing_index.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <random>

#include "platform/ascii.h"

namespace compare {

namespace {

constexpr std::size_t kFields = 6;

bool IsDigit(char character) {
    return character >= '0' && character <= '9';
}

// "DD.MM.YYYY" and "HH:MM:SS", or the zeros of a time that could not be shown.
bool HasShape(std::string_view field, std::string_view shape) {
    if (field.size() != shape.size()) {
        return false;
    }
    for (std::size_t at = 0; at < shape.size(); ++at) {
        if (shape[at] == '9' ? !IsDigit(field[at]) : field[at] != shape[at]) {
            return false;
        }
    }
    return true;
}

std::string_view Unpadded(std::string_view field) {
    while (!field.empty() && field.back() == ' ') {
        field.remove_suffix(1);
    }
    return field;
}

// Under a root, paths are compared whatever separator each listing uses.
char Normalised(char character, bool underRoot) {
    return underRoot && character == '\\' ? '/' : character;
}

bool StartsWith(std::string_view path, std::string_view root) {
    return path.size() >= root.size() &&
           std::equal(root.begin(), root.end(), path.begin(), [](char a, char b) {
               return platform::LowerCaseAscii(a) == platform::LowerCaseAscii(b);
           });
}

std::optional<ListingLine> ParseLine(std::string_view line) {
    std::array<std::string_view, kFields> fields;
    std::size_t start = 0;
    for (std::size_t index = 0; index < kFields; ++index) {
        const std::size_t tab = index + 1 < kFields ? line.find('\t', start) : line.size();
        if (tab == std::string_view::npos) {
            return std::nullopt;
        }
        fields[index] = line.substr(start, tab - start);
        start = tab + 1;
    }
    if (fields[5].find('\t') != std::string_view::npos || fields[5].empty() ||
        !HasShape(fields[3], "99.99.9999") || !HasShape(fields[4], "99:99:99")) {
        return std::nullopt;
    }
    return ListingLine{Unpadded(fields[0]), Unpadded(fields[1]), Unpadded(fields[2]),
                       fields[3],           fields[4],           fields[5]};
}

bool SameKey(std::size_t rootA, std::string_view a, std::size_t rootB, std::string_view b) {
    const bool underRoot = rootA != ListingIndex::npos;
    return rootA == rootB && a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [underRoot](char x, char y) {
               return Normalised(x, underRoot) == Normalised(y, underRoot);
           });
}

// Where the line feed that ends the line starting at start lies, or npos when none has been read.
std::size_t LineFeed(std::string_view text, std::size_t start) {
    if (start >= text.size()) {
        return std::string_view::npos;
    }
    const void* feed = std::memchr(text.data() + start, '\n', text.size() - start);
    return feed == nullptr ? std::string_view::npos
                           : static_cast<std::size_t>(static_cast<const char*>(feed) - text.data());
}

std::string LineError(std::size_t number, std::string_view problem) {
    return "line " + std::to_string(number) + " " + std::string(problem);
}

// SipHash-1-3 under a key drawn afresh for each run: listings come from other machines and other
// people, and a hash that anyone can compute lets a listing make all its paths collide, which
// turns the index quadratic. Without the key its values cannot be foreseen.
class KeyedHash {
  public:
    explicit KeyedHash(std::uint64_t root) {
        const auto& key = RunKey();
        v0 = key[0] ^ 0x736f6d6570736575u;
        v1 = key[1] ^ 0x646f72616e646f6du;
        v2 = key[0] ^ 0x6c7967656e657261u;
        v3 = key[1] ^ 0x7465646279746573u;
        Add(root);
    }
    void Add(std::uint64_t word) {
        v3 ^= word;
        Round();
        v0 ^= word;
    }
    std::uint64_t Finish(std::uint64_t lastWord) {
        Add(lastWord);
        v2 ^= 0xFF;
        Round();
        Round();
        Round();
        return v0 ^ v1 ^ v2 ^ v3;
    }

  private:
    static const std::array<std::uint64_t, 2>& RunKey() {
        static const std::array<std::uint64_t, 2> key = [] {
            std::random_device source;
            std::array<std::uint64_t, 2> drawn{};
            for (std::uint64_t& half : drawn) {
                half = (std::uint64_t{source()} << 32) ^ source();
            }
            return drawn;
        }();
        return key;
    }
    void Round() {
        v0 += v1;
        v1 = std::rotl(v1, 13) ^ v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16) ^ v2;
        v0 += v3;
        v3 = std::rotl(v3, 21) ^ v0;
        v2 += v1;
        v1 = std::rotl(v1, 17) ^ v2;
        v2 = std::rotl(v2, 32);
    }
    std::uint64_t v0, v1, v2, v3;
};

// Over the root's number and the rest as compared (beneath a root the separators made one),
// eight bytes at a time.
std::uint64_t HashOf(std::size_t root, std::string_view rest) {
    KeyedHash hash(root);
    const bool underRoot = root != ListingIndex::npos;
    std::size_t at = 0;
    const auto word = [&](std::size_t count) {
        char bytes[8] = {};
        for (std::size_t index = 0; index < count; ++index) {
            bytes[index] = Normalised(rest[at + index], underRoot);
        }
        std::uint64_t value = 0;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    };
    for (; at + 8 <= rest.size(); at += 8) {
        hash.Add(word(8));
    }
    return hash.Finish(word(rest.size() - at) ^ (std::uint64_t{rest.size()} << 56));
}

}  // namespace

std::optional<ListingIndex> ListingIndex::Parse(std::unique_ptr<ListingBytes> bytes,
                                                const std::vector<RootMapping>& roots, Side side,
                                                std::string& error) {
    ListingIndex index;
    index.roots = &roots;
    index.side = side;
    // Each piece is checked as it is read, so that what is no listing (a device, a binary file)
    // is refused at once, whatever its size.
    std::size_t start = 0;
    std::size_t checked = 0;
    for (;;) {
        const std::string_view all = bytes->Text();
        const void* nul = all.size() > checked
                              ? std::memchr(all.data() + checked, '\0', all.size() - checked)
                              : nullptr;
        if (nul != nullptr) {
            const auto at = static_cast<std::size_t>(static_cast<const char*>(nul) - all.data());
            const auto before = std::count(all.begin() + static_cast<std::ptrdiff_t>(start),
                                           all.begin() + static_cast<std::ptrdiff_t>(at), '\n');
            error = LineError(index.entries.size() + 1 + static_cast<std::size_t>(before),
                              "holds a NUL: it is not a listing line");
            return std::nullopt;
        }
        checked = all.size();
        if (!index.AddLines(all, start, error)) {
            return std::nullopt;
        }
        if (all.size() - start > kLongestListingLine) {
            error = LineError(index.entries.size() + 1, "is longer than any listing line");
            return std::nullopt;
        }
        const ListingBytes::Progress progress = bytes->ReadMore(error);
        if (progress == ListingBytes::Progress::Failed) {
            return std::nullopt;
        }
        if (progress == ListingBytes::Progress::End) {
            if (start < bytes->Text().size()) {
                error = LineError(index.entries.size() + 1, "is not a listing line");
                return std::nullopt;
            }
            break;
        }
    }
    index.bytes = std::move(bytes);
    index.text = index.bytes->Text();
    index.Build();
    return index;
}

bool ListingIndex::AddLines(std::string_view all, std::size_t& start, std::string& error) {
    for (std::size_t feed; (feed = LineFeed(all, start)) != std::string_view::npos;) {
        const std::size_t end = feed - 1;  // the line's CR
        const auto line = feed > start && all[end] == '\r'
                              ? ParseLine(all.substr(start, end - start))
                              : std::nullopt;
        if (!line || entries.size() >= kIndexBits - 1 || roots->size() >= kNoRoot) {
            error = LineError(entries.size() + 1, "is not a listing line");
            return false;
        }
        if (end - start > kLongestListingLine) {
            error = LineError(entries.size() + 1, "is longer than any listing line");
            return false;
        }
        const Key key = KeyOf(line->path);
        entries.push_back(
            {start, HashOf(key.root, key.rest), static_cast<std::uint32_t>(end - start),
             static_cast<std::uint32_t>(line->path.data() - all.data() - start),
             static_cast<std::uint32_t>(line->date.data() - all.data() - start),
             key.root == npos ? kNoRoot : static_cast<std::uint16_t>(key.root), true});
        start = feed + 1;
    }
    return true;
}

ListingLine ListingIndex::Line(std::size_t index) const {
    const Entry& entry = entries[index];
    return *ParseLine(text.substr(entry.start, entry.length));
}

ListingIndex::Key ListingIndex::KeyOf(std::string_view path) const {
    for (std::size_t index = 0; index < roots->size(); ++index) {
        const std::string& root = side == Side::Old ? (*roots)[index].old : (*roots)[index].now;
        if (StartsWith(path, root)) {
            return Key{index, path.substr(root.size())};
        }
    }
    return Key{npos, path};
}

ListingIndex::Key ListingIndex::KeyAt(std::size_t index) const {
    const Entry& entry = entries[index];
    const std::string_view path = text.substr(entry.start + entry.path, entry.length - entry.path);
    if (entry.root == kNoRoot) {
        return Key{npos, path};
    }
    const RootMapping& mapping = (*roots)[entry.root];
    return Key{entry.root, path.substr((side == Side::Old ? mapping.old : mapping.now).size())};
}

std::size_t ListingIndex::SlotOf(const Key& key, std::uint64_t hash) const {
    const std::size_t mask = slots.size() - 1;
    const std::uint64_t tag = hash & ~kIndexBits;
    std::size_t slot = hash & mask;
    std::size_t probes = 1;
    for (; slots[slot] != 0; slot = (slot + 1) & mask, ++probes) {
        if ((slots[slot] & ~kIndexBits) == tag) {
            const Key heldKey = KeyAt((slots[slot] & kIndexBits) - 1);
            if (SameKey(heldKey.root, heldKey.rest, key.root, key.rest)) {
                break;
            }
        }
    }
    longestProbe = std::max(longestProbe, probes);
    return slot;
}

void ListingIndex::Build() {
    std::size_t capacity = 16;
    while (capacity < 2 * entries.size()) {
        capacity *= 2;
    }
    slots.assign(capacity, 0);
    // Each slot ends up holding its path's last line, which the comparison takes.
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const std::size_t slot = SlotOf(KeyAt(index), entries[index].hash);
        if (slots[slot] != 0) {
            entries[(slots[slot] & kIndexBits) - 1].last = false;  // listed again here
            ++repeated;
        }
        slots[slot] = (entries[index].hash & ~kIndexBits) | (index + 1);
    }
}

std::size_t ListingIndex::Find(const ListingIndex& other, std::size_t otherIndex) const {
    const std::size_t slot = SlotOf(other.KeyAt(otherIndex), other.entries[otherIndex].hash);
    return slots[slot] != 0 ? (slots[slot] & kIndexBits) - 1 : npos;
}

bool ListingIndex::SamePath(std::size_t index, const ListingIndex& other,
                            std::size_t otherIndex) const {
    if (entries[index].hash != other.entries[otherIndex].hash) {
        return false;
    }
    const Key mine = KeyAt(index);
    const Key theirs = other.KeyAt(otherIndex);
    return SameKey(mine.root, mine.rest, theirs.root, theirs.rest);
}

std::string_view ListingIndex::Values(std::size_t index, bool withTimes) const {
    constexpr std::size_t kDateAndTime = 19;  // "DD.MM.YYYY\tHH:MM:SS"
    const Entry& entry = entries[index];
    return text.substr(entry.start, entry.date + (withTimes ? kDateAndTime : 0));
}

}  // namespace compare
