// Arbitrary bytes as a disk image: opened, its partitions and file systems found, every directory
// listed and every file read, as the inventory reads an image, within bounds on how much.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "disk_image/disk_image.h"

namespace {

constexpr int kDeepestLevel = 8;
constexpr std::size_t kMostEntries = 4096;

void ReadWhole(platform::FileTree& tree, const std::string& path) {
    platform::TreeNode node;
    auto file = tree.Open(path, node);
    if (file == nullptr) {
        return;
    }
    std::vector<std::uint8_t> buffer(16 * 1024);
    for (std::uint64_t offset = 0; offset < node.size && offset < (1u << 20);) {
        const ssize_t got = file->Read(offset, buffer.data(), buffer.size());
        if (got <= 0) {
            break;
        }
        offset += static_cast<std::uint64_t>(got);
    }
}

void Walk(platform::FileTree& tree, const std::string& directory, int level,
          std::size_t& entriesSeen) {
    platform::TreeNode node;
    std::vector<platform::TreeEntry> entries;
    if (level > kDeepestLevel || !tree.List(directory, node, entries)) {
        return;
    }
    for (const platform::TreeEntry& entry : entries) {
        if (++entriesSeen > kMostEntries) {
            return;
        }
        const std::string path = directory + entry.name;
        platform::TreeNode looked;
        tree.Examine(path, looked);
        if (entry.kind == platform::EntryKind::Directory) {
            Walk(tree, path + "/", level + 1, entriesSeen);
        } else if (entry.kind == platform::EntryKind::File) {
            ReadWhole(tree, path);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int memory = memfd_create("image", MFD_CLOEXEC);
    if (memory < 0) {
        return 0;
    }
    if (write(memory, data, size) == static_cast<ssize_t>(size)) {
        const std::string path = "/proc/self/fd/" + std::to_string(memory);
        disk_image::DiskImage image(path, true);
        std::size_t entriesSeen = 0;
        for (disk_image::Volume& volume : image.Volumes()) {
            Walk(*volume.tree, "/", 0, entriesSeen);
        }
    }
    close(memory);
    return 0;
}
