#include "platform/posix/version_resources/version_tree.h"

#include <algorithm>

#include "platform/ascii.h"
#include "platform/posix/version_resources/text_encoding.h"

namespace platform::posix {

namespace {

using platform::LowerCaseAscii;

constexpr std::size_t kWideHeaderSize = 6;    // wLength, wValueLength, wType
constexpr std::size_t kNarrowHeaderSize = 4;  // wLength, wValueLength
constexpr std::uint16_t kTextType = 1;
constexpr std::uint8_t kFirstNarrowKeyByte = 0x20;
constexpr std::string_view kStringTablesKey = "StringFileInfo";
constexpr std::size_t kStringValueDepth = 3;  // StringFileInfo, table, name

struct Node {
    std::size_t start;
    std::size_t end;
    std::size_t keyStart;
    std::uint16_t valueLength;
    bool textType;
};

// Where a node's value and children lie; worked out only for the nodes a query selects.
struct NodeLayout {
    std::size_t valueStart;
    std::size_t valueEnd;
    std::size_t childrenStart;
};

std::size_t UnitSize(BlockForm form) {
    return form == BlockForm::Wide ? 2 : 1;
}

char32_t UnitAt(ByteView block, BlockForm form, std::size_t at) {
    return form == BlockForm::Wide ? char32_t{*block.Read16(at)} : char32_t{*block.Read8(at)};
}

// The node at start, which must end within limit; none where the search of its siblings stops.
std::optional<Node> ParseNode(ByteView block, BlockForm form, std::size_t start,
                              std::size_t limit) {
    const std::size_t headerSize = form == BlockForm::Wide ? kWideHeaderSize : kNarrowHeaderSize;
    const auto length = block.Read16(start);
    if (!length || *length < headerSize || *length > limit - std::min(start, limit)) {
        return std::nullopt;
    }
    return Node{start, start + *length, start + headerSize, *block.Read16(start + 2),
                form == BlockForm::Wide && *block.Read16(start + 4) == kTextType};
}

NodeLayout LayOut(ByteView block, BlockForm form, const Node& node) {
    const std::size_t unit = UnitSize(form);
    std::size_t keyEnd = node.keyStart;
    while (keyEnd + unit <= node.end && UnitAt(block, form, keyEnd) != 0) {
        keyEnd += unit;
    }
    // The key's terminator, when the node holds one, comes before the padding.
    const std::size_t afterKey = keyEnd + unit <= node.end ? keyEnd + unit : node.end;
    NodeLayout layout{};
    layout.valueStart = std::min(AlignTo4(afterKey), node.end);
    const std::size_t valueBytes =
        node.textType ? std::size_t{node.valueLength} * 2 : node.valueLength;
    layout.valueEnd = std::min(layout.valueStart + valueBytes, node.end);
    layout.childrenStart = std::min(AlignTo4(layout.valueEnd), node.end);
    return layout;
}

bool SameLetters(char32_t a, char32_t b) {
    return LowerCaseAscii(a) == LowerCaseAscii(b);
}

// Compares the node's key, up to its terminator (or the node's end), with the wanted component.
bool KeyEquals(ByteView block, BlockForm form, const Node& node, std::string_view wanted) {
    const std::size_t unit = UnitSize(form);
    const ByteView nodeBytes = block.Sub(0, node.end).value_or(ByteView());
    std::size_t at = node.keyStart;
    while (!wanted.empty()) {
        if (at + unit > node.end) {
            return false;
        }
        char32_t keyCharacter = UnitAt(block, form, at);
        std::size_t keyCharacterSize = unit;
        if (form == BlockForm::Wide) {
            // A pair of surrogates in the key stands for one character of the component.
            const Utf16Character character = *DecodeUtf16(nodeBytes, at);
            keyCharacter = character.codePoint;
            keyCharacterSize = character.bytes;
        }
        at += keyCharacterSize;
        const auto lead = static_cast<unsigned char>(wanted[0]);
        const DecodedCharacter wantedCharacter = form == BlockForm::Wide && lead >= 0x80
                                                     ? DecodeUtf8(wanted.data(), wanted.size())
                                                     : DecodedCharacter{lead, 1};
        if (keyCharacter == 0 || !SameLetters(keyCharacter, wantedCharacter.codePoint)) {
            return false;
        }
        wanted.remove_prefix(wantedCharacter.length);
    }
    return at + unit > node.end || UnitAt(block, form, at) == 0;
}

std::optional<Node> FindChild(ByteView block, BlockForm form, const Node& parent,
                              std::string_view key) {
    // Each child is at least a header long, so the search always moves forward.
    for (std::size_t at = LayOut(block, form, parent).childrenStart; at < parent.end;) {
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
               return LowerCaseAscii(x) == LowerCaseAscii(y);
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
    const NodeLayout layout = LayOut(block, form, *node);
    const std::size_t valueEnd = isText ? node->end : layout.valueEnd;
    return QueryAnswer{layout.valueStart, valueEnd - layout.valueStart, isText};
}

}  // namespace platform::posix
