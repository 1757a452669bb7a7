#include "platform/file_tree.h"

#include <atomic>

namespace platform {

namespace {

// Read by the read-ahead's threads as well as the walk's; set between walks only.
std::atomic<FileTree*> treeInUse{nullptr};

}  // namespace

void ReadFileTree(FileTree* tree) {
    treeInUse.store(tree);
}

FileTree* FileTreeInUse() {
    return treeInUse.load(std::memory_order_relaxed);
}

}  // namespace platform
