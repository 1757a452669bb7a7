// The tree of nodes inside a version block, and the platform's query over it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/formats/byte_view.h"

namespace platform::formats {

// Blocks from PE files use 16-bit characters and a type field; blocks from NE files 8-bit ones.
enum class BlockForm { Wide, Narrow };

BlockForm FormOf(ByteView block);

// The block GetFileVersionInfoA filled, as far as its root's length says.
ByteView FilledBlock(const void* block);

struct QueryAnswer {
    std::size_t valueOffset;  // from the start of the block
    std::size_t valueLength;  // bytes; for a text, the bytes up to the end of its node
    bool isText;
};

// Follows path (components separated by backslashes, empty ones skipped, keys compared ignoring
// letter case) from the root and answers the selected node's value. Never looks outside block.
std::optional<QueryAnswer> QueryVersionBlock(ByteView block, std::string_view path);

struct ChildEntry {
    std::string key;  // UTF-8 (an 8-bit form's key taken as Windows-1252)
    QueryAnswer answer;
};

// The children of the node path selects (as QueryVersionBlock selects it), in their order, each
// with its key and what QueryVersionBlock answers for path and that key, in one pass over them:
// only children that a query reaches by their key are there (not an empty key, one holding a
// backslash, or one met before ignoring letter case, since a query finds only the first). Empty
// for no such node.
std::vector<ChildEntry> ChildEntries(ByteView block, std::string_view path);

}  // namespace platform::formats
