#include "disk_image/disk_image.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>

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

// An EWF segment file ends in a section that says whether more segments follow ("next") or the
// set ends there ("done"). The library takes the segments found by name; the last found saying
// "next" tells that one is missing.
constexpr std::size_t kEwfSectionDescriptorSize = 76;

bool EwfSetEndsEarly(const char* lastSegment) {
    std::ifstream segment(lastSegment, std::ios::binary | std::ios::ate);
    const std::streamoff size = segment ? static_cast<std::streamoff>(segment.tellg()) : 0;
    if (size < static_cast<std::streamoff>(kEwfSectionDescriptorSize)) {
        return false;  // not for this check to judge: the library read it
    }
    std::array<char, 16> type{};
    segment.seekg(size - static_cast<std::streamoff>(kEwfSectionDescriptorSize));
    segment.read(type.data(), type.size());
    return segment && std::memcmp(type.data(), "next", 5) == 0;
}

// The bytes of a partition or file system that lie past the end of the image.
bool EndsPastImage(TSK_OFF_T start, TSK_OFF_T length, TSK_OFF_T imageSize) {
    return start > imageSize || length > imageSize - start;
}

}  // namespace

DiskImage::DiskImage(const std::string& path, bool deleted) {
    image = tsk_img_open_utf8_sing(path.c_str(), TSK_IMG_TYPE_DETECT, 0);
    if (image == nullptr) {
        problems.push_back({std::nullopt, LibraryError("not a disk image the library reads")});
        return;
    }
    // Not read at all: libewf would give the missing part as zeros, so that nothing read could be
    // told real, and would keep a chunk's buffer for every read of it, to the end of the run.
    if ((image->itype & TSK_IMG_TYPE_EWF_EWF) != 0 && image->num_img > 0 &&
        EwfSetEndsEarly(image->images[image->num_img - 1])) {
        problems.push_back({std::nullopt, "a segment is missing after " +
                                              std::string(image->images[image->num_img - 1]) +
                                              ": not read"});
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
        const auto sectorSize = static_cast<TSK_OFF_T>(partitions->block_size);
        if (EndsPastImage(static_cast<TSK_OFF_T>(part->start) * sectorSize,
                          static_cast<TSK_OFF_T>(part->len) * sectorSize, image->size)) {
            problems.push_back({name, "the partition table places it past the end of the image"});
        }
        TSK_FS_INFO* fs = tsk_fs_open_vol(part, TSK_FS_TYPE_DETECT);
        if (fs == nullptr) {
            problems.push_back({name, LibraryError("no file system the library reads")});
            continue;
        }
        AddVolume(fs, std::move(name), deleted);
    }
}

void DiskImage::AddVolume(TSK_FS_INFO* fs, std::optional<std::string> partition, bool deleted) {
    if (EndsPastImage(fs->offset, static_cast<TSK_OFF_T>(fs->block_count * fs->block_size),
                      image->size)) {
        problems.push_back({partition,
                            "the image ends before its file system does (cut short, or a segment "
                            "missing)"});
    }
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
