#include "platform/formats/version_tree.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "platform/ascii.h"
#include "platform/formats/text_encoding.h"

namespace platform::formats {

namespace {

using platform::EqualsIgnoringCase;
using platform::LowerCaseAscii;

constexpr std::uint16_t kTextType = 1;
// In the 16-bit form the key starts where the 32-bit form has its type, whose low byte is 0 or 1.
constexpr std::size_t kFormByte = 4;
constexpr std::uint8_t kFirstNarrowKeyByte = 0x20;
constexpr std::string_view kStringTablesKey = "StringFileInfo";
constexpr std::size_t kStringValueDepth = 3;  // StringFileInfo, table, name

// One node of a block, read through a view of its own bytes (from its start to the end its length
// gives), so nothing read through it lies outside it. Nodes start on 4-byte boundaries of the
// block, so alignment counted from the node's start is alignment in the block.
class Node {
  public:
    // The node at start, which must end within limit; none where the search of its siblings
    // stops (a length of 0, shorter than a header, or past the parent).
    static std::optional<Node> At(ByteView block, BlockForm form, std::size_t start,
                                  std::size_t limit);

    std::size_t Start() const { return start; }
    std::size_t End() const { return start + bytes.size(); }
    bool IsText() const { return textType; }

    // The units of the key, one character at a time (a pair of surrogates is one); none after
    // the key's terminator or at the node's end.
    std::optional<Utf16Character> KeyCharacter(std::size_t at) const;
    std::size_t KeyStart() const { return headerSize; }
    // The key as UTF-8, up to its terminator or the node's end.
    std::string KeyText() const;

    // Where the value and the children lie, from the node's start.
    std::size_t ValueStart() const;
    std::size_t ValueEnd() const;
    std::size_t ChildrenStart() const { return std::min(AlignTo4(ValueEnd()), bytes.size()); }

  private:
    Node(ByteView bytes, std::size_t start, BlockForm form, std::uint16_t valueLength,
         bool textType)
        : bytes(bytes),
          start(start),
          form(form),
          headerSize(HeaderSize(form)),
          valueLength(valueLength),
          textType(textType) {}

    // wLength, wValueLength and, in the 32-bit form, wType.
    static std::size_t HeaderSize(BlockForm form) { return form == BlockForm::Wide ? 6 : 4; }
    std::size_t UnitSize() const { return form == BlockForm::Wide ? 2 : 1; }

    ByteView bytes;
    std::size_t start;
    BlockForm form;
    std::size_t headerSize;
    std::uint16_t valueLength;
    bool textType;
};

std::optional<Node> Node::At(ByteView block, BlockForm form, std::size_t start, std::size_t limit) {
    const auto length = block.Read16(start);
    if (!length || start > limit || *length > limit - start || *length < HeaderSize(form)) {
        return std::nullopt;
    }
    constexpr std::size_t kValueLengthField = 2;
    constexpr std::size_t kTypeField = 4;
    const ByteView bytes = *block.Sub(start, *length);
    const std::uint16_t valueLength = *bytes.Read16(kValueLengthField);
    const bool textType = form == BlockForm::Wide && *bytes.Read16(kTypeField) == kTextType;
    return Node(bytes, start, form, valueLength, textType);
}

std::optional<Utf16Character> Node::KeyCharacter(std::size_t at) const {
    if (form == BlockForm::Wide) {
        return DecodeUtf16(bytes, at);
    }
    const auto byte = bytes.Read8(at);
    return byte ? std::optional<Utf16Character>({Windows1252CodePoint(*byte), 1}) : std::nullopt;
}

std::string Node::KeyText() const {
    const ByteView key = *bytes.Sub(headerSize, bytes.size() - headerSize);
    // Three bytes of UTF-8 for each byte of key at most, and the terminator.
    std::string text(3 * key.size() + 1, '\0');
    const std::size_t length =
        form == BlockForm::Wide ? Utf16ToUtf8(key, text) : Windows1252ToUtf8(key, text);
    text.resize(length);
    return text;
}

std::size_t Node::ValueStart() const {
    std::size_t keyEnd = KeyStart();
    while (bytes.Contains(keyEnd, UnitSize()) && KeyCharacter(keyEnd)->codePoint != 0) {
        keyEnd += UnitSize();
    }
    // The key's terminator, when the node holds one, comes before the padding.
    const std::size_t afterKey = std::min(keyEnd + UnitSize(), bytes.size());
    return std::min(AlignTo4(afterKey), bytes.size());
}

std::size_t Node::ValueEnd() const {
    const std::size_t valueBytes = textType ? std::size_t{valueLength} * 2 : valueLength;
    return std::min(ValueStart() + valueBytes, bytes.size());
}

// Compares the node's key, up to its terminator (or the node's end), with the wanted component.
bool KeyEquals(const Node& node, std::string_view wanted) {
    std::size_t at = node.KeyStart();
    while (!wanted.empty()) {
        const auto keyCharacter = node.KeyCharacter(at);
        if (!keyCharacter || keyCharacter->codePoint == 0) {
            return false;
        }
        at += keyCharacter->bytes;
        // Keys are asked for in UTF-8, whichever form holds them.
        const DecodedCharacter wantedCharacter = DecodeUtf8(wanted.data(), wanted.size());
        if (LowerCaseAscii(keyCharacter->codePoint) != LowerCaseAscii(wantedCharacter.codePoint)) {
            return false;
        }
        wanted.remove_prefix(wantedCharacter.length);
    }
    const auto next = node.KeyCharacter(at);
    return !next || next->codePoint == 0;
}

// Visits parent's children in order until visit returns true (that child is returned) or a child
// ends the search of its siblings (none is).
template <typename Visit>
std::optional<Node> VisitChildren(ByteView block, BlockForm form, const Node& parent,
                                  const Visit& visit) {
    // Each child is at least a header long, so the search always moves forward.
    for (std::size_t at = parent.Start() + parent.ChildrenStart(); at < parent.End();) {
        const auto child = Node::At(block, form, at, parent.End());
        if (!child || visit(*child)) {
            return child;
        }
        at = AlignTo4(child->End());
    }
    return std::nullopt;
}

std::optional<Node> FindChild(ByteView block, BlockForm form, const Node& parent,
                              std::string_view key) {
    return VisitChildren(block, form, parent,
                         [&](const Node& child) { return KeyEquals(child, key); });
}

struct Selected {
    std::optional<Node> node;
    std::size_t depth = 0;
    bool underStringTables = false;
};

// The node path selects, as the platform's query selects it.
Selected Select(ByteView block, BlockForm form, std::string_view path) {
    Selected selected{Node::At(block, form, 0, block.size())};
    while (selected.node && !path.empty()) {
        const std::size_t separator = path.find('\\');
        const std::string_view component = path.substr(0, separator);
        path.remove_prefix(separator == std::string_view::npos ? path.size() : separator + 1);
        if (component.empty()) {
            continue;
        }
        if (selected.depth == 0) {
            selected.underStringTables = EqualsIgnoringCase(component, kStringTablesKey);
        }
        selected.node = FindChild(block, form, *selected.node, component);
        ++selected.depth;
    }
    return selected;
}

// The value of node, as the query answers it; isString says whether it is a string of a string
// table.
QueryAnswer Answer(const Node& node, BlockForm form, bool isString) {
    // Narrow blocks carry no type: their strings are the values under the string tables.
    const bool isText = form == BlockForm::Wide ? node.IsText() : isString;
    const std::size_t valueStart = node.ValueStart();
    const std::size_t valueEnd = isText ? node.End() - node.Start() : node.ValueEnd();
    return QueryAnswer{node.Start() + valueStart, valueEnd - valueStart, isText};
}

}  // namespace

ByteView FilledBlock(const void* block) {
    std::uint16_t rootLength = 0;
    std::memcpy(&rootLength, block, sizeof rootLength);
    return ByteView(static_cast<const std::uint8_t*>(block), rootLength);
}

BlockForm FormOf(ByteView block) {
    const auto byte = block.Read8(kFormByte);
    return byte && *byte >= kFirstNarrowKeyByte ? BlockForm::Narrow : BlockForm::Wide;
}

std::optional<QueryAnswer> QueryVersionBlock(ByteView block, std::string_view path) {
    const BlockForm form = FormOf(block);
    const auto [node, depth, underStringTables] = Select(block, form, path);
    if (!node) {
        return std::nullopt;
    }
    return Answer(*node, form, underStringTables && depth == kStringValueDepth);
}

std::vector<ChildEntry> ChildEntries(ByteView block, std::string_view path) {
    const BlockForm form = FormOf(block);
    const Selected parent = Select(block, form, path);
    std::vector<ChildEntry> entries;
    if (!parent.node) {
        return entries;
    }
    const bool childrenAreStrings =
        parent.underStringTables && parent.depth + 1 == kStringValueDepth;
    // A hostile table holds thousands of children: the keys met are looked up, not searched.
    std::unordered_set<std::string> met;
    VisitChildren(block, form, *parent.node, [&](const Node& child) {
        std::string key = child.KeyText();
        // Only a key that asks for this very child (not an earlier one, and not in vain) has it.
        if (key.empty() || key.find('\\') != std::string::npos || !KeyEquals(child, key)) {
            return false;
        }
        std::string lowered = key;
        LowerCaseAscii(lowered);
        if (met.insert(std::move(lowered)).second) {
            entries.push_back({std::move(key), Answer(child, form, childrenAreStrings)});
        }
        return false;
    });
    return entries;
}

}  // namespace platform::formats
