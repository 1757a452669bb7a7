#include "platform/posix/version_tree.h"

#include <algorithm>

#include "platform/posix/text_encoding.h"

namespace platform::posix {

namespace {

constexpr std::size_t kWideHeaderSize = 6;    // wLength, wValueLength, wType
constexpr std::size_t kNarrowHeaderSize = 4;  // wLength, wValueLength
constexpr std::uint16_t kTextType = 1;
constexpr std::uint8_t kFirstNarrowKeyByte = 0x20;
constexpr std::string_view kStringTablesKey = "StringFileInfo";
constexpr std::size_t kStringValueDepth = 3;  // StringFileInfo, table, name

std::size_t AlignTo4(std::size_t offset) {
    return (offset + 3) & ~std::size_t{3};
}

struct Node {
    std::size_t start;
    std::size_t end;
    std::size_t keyStart;
    std::size_t keyEnd;  // before the terminator
    std::size_t valueStart;
    std::size_t valueEnd;
    std::size_t childrenStart;
    bool textType;
};

std::size_t KeyEnd(ByteView block, BlockForm form, std::size_t keyStart, std::size_t nodeEnd,
                   std::size_t& terminatorSize) {
    const std::size_t unit = form == BlockForm::Wide ? 2 : 1;
    std::size_t at = keyStart;
    for (; at + unit <= nodeEnd; at += unit) {
        const bool terminator =
            form == BlockForm::Wide ? *block.Read16(at) == 0 : *block.Read8(at) == 0;
        if (terminator) {
            terminatorSize = unit;
            return at;
        }
    }
    terminatorSize = 0;
    return std::min(at, nodeEnd);
}

// The node at start, which must end within limit; none where the search of its siblings stops.
std::optional<Node> ParseNode(ByteView block, BlockForm form, std::size_t start,
                              std::size_t limit) {
    const std::size_t headerSize = form == BlockForm::Wide ? kWideHeaderSize : kNarrowHeaderSize;
    const auto length = block.Read16(start);
    if (!length || *length < headerSize || *length > limit - std::min(start, limit)) {
        return std::nullopt;
    }
    Node node{};
    node.start = start;
    node.end = start + *length;
    const std::uint16_t valueLength = *block.Read16(start + 2);
    node.textType = form == BlockForm::Wide && *block.Read16(start + 4) == kTextType;
    node.keyStart = start + headerSize;
    std::size_t terminatorSize = 0;
    node.keyEnd = KeyEnd(block, form, node.keyStart, node.end, terminatorSize);
    node.valueStart = std::min(AlignTo4(node.keyEnd + terminatorSize), node.end);
    const std::size_t valueBytes = node.textType ? std::size_t{valueLength} * 2 : valueLength;
    node.valueEnd = std::min(node.valueStart + valueBytes, node.end);
    node.childrenStart = std::min(AlignTo4(node.valueEnd), node.end);
    return node;
}

char FoldCase(char32_t character) {
    return character >= 'A' && character <= 'Z' ? static_cast<char>(character - 'A' + 'a')
                                                : static_cast<char>(character);
}

bool SameLetters(char32_t a, char32_t b) {
    return a == b || (a < 0x80 && b < 0x80 && FoldCase(a) == FoldCase(b));
}

bool KeyEquals(ByteView block, BlockForm form, const Node& node, std::string_view wanted) {
    std::size_t at = node.keyStart;
    while (!wanted.empty()) {
        char32_t keyCharacter = 0;
        if (form == BlockForm::Wide) {
            if (at + 2 > node.keyEnd) {
                return false;
            }
            keyCharacter = *block.Read16(at);
            at += 2;
            // A pair of surrogates in the key stands for one character of the component.
            if (keyCharacter >= 0xD800 && keyCharacter <= 0xDBFF && at + 2 <= node.keyEnd) {
                keyCharacter =
                    0x10000 + ((keyCharacter - 0xD800) << 10) + (*block.Read16(at) - 0xDC00);
                at += 2;
            }
        } else {
            if (at >= node.keyEnd) {
                return false;
            }
            keyCharacter = *block.Read8(at);
            ++at;
        }
        const DecodedCharacter wantedCharacter =
            form == BlockForm::Wide ? DecodeUtf8(wanted.data(), wanted.size())
                                    : DecodedCharacter{static_cast<unsigned char>(wanted[0]), 1};
        if (!SameLetters(keyCharacter, wantedCharacter.codePoint)) {
            return false;
        }
        wanted.remove_prefix(wantedCharacter.length);
    }
    return at == node.keyEnd;
}

std::optional<Node> FindChild(ByteView block, BlockForm form, const Node& parent,
                              std::string_view key) {
    // Each child is at least a header long, so the search always moves forward.
    for (std::size_t at = parent.childrenStart; at < parent.end;) {
        const auto child = ParseNode(block, form, at, parent.end);
        if (!child) {
            return std::nullopt;
        }
        if (KeyEquals(block, form, *child, key)) {
            return child;
        }
        at = AlignTo4(child->end);
    }
    return std::nullopt;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return FoldCase(x) == FoldCase(y);
           });
}

}  // namespace

BlockForm FormOf(ByteView block) {
    const auto byte = block.Read8(4);
    return byte && *byte >= kFirstNarrowKeyByte ? BlockForm::Narrow : BlockForm::Wide;
}

std::optional<QueryAnswer> QueryVersionBlock(ByteView block, std::string_view path) {
    const BlockForm form = FormOf(block);
    auto node = ParseNode(block, form, 0, block.size());
    std::size_t depth = 0;
    bool underStringTables = false;
    while (node && !path.empty()) {
        const std::size_t separator = path.find('\\');
        const std::string_view component = path.substr(0, separator);
        path.remove_prefix(separator == std::string_view::npos ? path.size() : separator + 1);
        if (component.empty()) {
            continue;
        }
        if (depth == 0) {
            underStringTables = EqualsIgnoringCase(component, kStringTablesKey);
        }
        node = FindChild(block, form, *node, component);
        ++depth;
    }
    if (!node) {
        return std::nullopt;
    }
    // Narrow blocks carry no type: their strings are the values under the string tables.
    const bool isText =
        form == BlockForm::Wide ? node->textType : underStringTables && depth == kStringValueDepth;
    const std::size_t valueEnd = isText ? node->end : node->valueEnd;
    return QueryAnswer{node->valueStart, valueEnd - node->valueStart, isText};
}

}  // namespace platform::posix
