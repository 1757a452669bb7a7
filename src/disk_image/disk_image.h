// A disk image opened through The Sleuth Kit, read only: raw (and split raw), E01, VMDK, VHD and
// AFF, as Debian's build of the library reads them. Its partition table (DOS, GPT, ...) is walked
// and every partition holding a file system the library reads becomes a file tree; an image
// holding a bare file system is one file tree.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk_image/image_tree.h"  // before the library's header; see there

namespace disk_image {

struct Volume {
    // The library's number of the partition and its first sector ("2@2048"); none for a bare file
    // system.
    std::optional<std::string> partition;
    TSK_FS_INFO* fs = nullptr;
    std::unique_ptr<ImageTree> tree;
};

// What could not be read of an image, as the library tells it.
struct Problem {
    std::optional<std::string> partition;  // none: the image itself
    std::string reason;
};

class DiskImage {
  public:
    // Opens the image at path (the first segment of a split or E01 set: the library finds the
    // rest by their names) and every file system in it. With deleted, their trees list what the
    // file systems mark deleted but still hold.
    DiskImage(const std::string& path, bool deleted);
    ~DiskImage();
    DiskImage(const DiskImage&) = delete;
    DiskImage& operator=(const DiskImage&) = delete;

    std::vector<Volume>& Volumes() { return volumes; }
    const std::vector<Problem>& Problems() const { return problems; }

  private:
    void OpenPartitions(bool deleted);
    void AddVolume(TSK_FS_INFO* fs, std::optional<std::string> partition, bool deleted);

    TSK_IMG_INFO* image = nullptr;
    TSK_VS_INFO* partitions = nullptr;
    std::vector<Volume> volumes;
    std::vector<Problem> problems;
};

}  // namespace disk_image
