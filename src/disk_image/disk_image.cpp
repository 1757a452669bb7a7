#include "disk_image/disk_image.h"

#include <atomic>
#include <cstdint>

namespace disk_image {

namespace {

// Volumes of file trees are told apart from the host's devices (whose numbers are small) by the
// top bit, and from one another by a count.
constexpr std::uint64_t kTreeVolumeBit = std::uint64_t{1} << 63;
std::atomic<std::uint64_t> treesMade{0};

// The library's last error on this thread, as one line; cleared.
std::string LibraryError(const char* fallback) {
    std::string text = tsk_error_get_errno() != 0 ? tsk_error_get() : "";
    tsk_error_reset();
    for (char& character : text) {
        if (character == '\n' || character == '\r') {
            character = ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text.empty() ? fallback : text;
}

}  // namespace

DiskImage::DiskImage(const std::string& path, bool deleted) {
    image = tsk_img_open_utf8_sing(path.c_str(), TSK_IMG_TYPE_DETECT, 0);
    if (image == nullptr) {
        problems.push_back({std::nullopt, LibraryError("not a disk image the library reads")});
        return;
    }
    // A bare file system first: a FAT volume carries in its boot sector what can pass for a
    // partition table holding itself.
    if (TSK_FS_INFO* fs = tsk_fs_open_img(image, 0, TSK_FS_TYPE_DETECT)) {
        AddVolume(fs, std::nullopt, deleted);
        return;
    }
    tsk_error_reset();
    OpenPartitions(deleted);
}

void DiskImage::OpenPartitions(bool deleted) {
    partitions = tsk_vs_open(image, 0, TSK_VS_TYPE_DETECT);
    if (partitions == nullptr) {
        problems.push_back(
            {std::nullopt, LibraryError("no partition table or file system the library reads")});
        return;
    }
    for (TSK_PNUM_T index = 0; index < partitions->part_count; ++index) {
        const TSK_VS_PART_INFO* part = tsk_vs_part_get(partitions, index);
        if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) {
            continue;  // the tables themselves, and the space between partitions
        }
        std::string name = std::to_string(part->addr) + "@" + std::to_string(part->start);
        TSK_FS_INFO* fs = tsk_fs_open_vol(part, TSK_FS_TYPE_DETECT);
        if (fs == nullptr) {
            problems.push_back({name, LibraryError("no file system the library reads")});
            continue;
        }
        AddVolume(fs, std::move(name), deleted);
    }
}

void DiskImage::AddVolume(TSK_FS_INFO* fs, std::optional<std::string> partition, bool deleted) {
    const std::uint64_t volume = kTreeVolumeBit | ++treesMade;
    volumes.push_back({std::move(partition), fs, std::make_unique<ImageTree>(fs, volume, deleted)});
}

DiskImage::~DiskImage() {
    for (Volume& volume : volumes) {
        volume.tree.reset();
        tsk_fs_close(volume.fs);
    }
    if (partitions != nullptr) {
        tsk_vs_close(partitions);
    }
    if (image != nullptr) {
        tsk_img_close(image);
    }
}

}  // namespace disk_image
