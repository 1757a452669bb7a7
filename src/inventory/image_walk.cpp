#include "inventory/image_walk.h"

#include "walk/read_failures.h"

#if defined(QUILLET_HAVE_DISK_IMAGES)

#include <cstdlib>
#include <ctime>

#include "disk_image/disk_image.h"
#include "platform/file_tree.h"
#include "walk/walk.h"

namespace {

// FAT keeps local times without their zone, which the library converts as the zone of the process;
// they are taken as UTC, as the inventory's every other time is.
void TakeZonelessTimesAsUtc() {
    setenv("TZ", "UTC", 1);
    tzset();
}

// The image, and the partition in it: "disk.img", "disk.img:2@2048".
std::string PlaceOf(const std::string& image, const std::optional<std::string>& partition) {
    return partition ? image + ":" + *partition : image;
}

}  // namespace

void WalkDiskImage(const std::string& path, bool deleted, InventoryRun& run) {
    TakeZonelessTimesAsUtc();
    disk_image::DiskImage image(path, deleted);
    for (const disk_image::Problem& problem : image.Problems()) {
        FailedReads.Note(PlaceOf(path, problem.partition), problem.reason);
    }
    run.image = path;
    for (disk_image::Volume& volume : image.Volumes()) {
        run.partition = volume.partition;
        FailedReads.SetPlace(PlaceOf(path, volume.partition) + ":");
        platform::ReadFileTree(volume.tree.get());
        VisitedDirectories entered;
        std::string pattern = SearchPatternOf("/");
        ScanDirectory(pattern, entered);
        platform::ReadFileTree(nullptr);
        for (const std::string& loop : volume.tree->Loops()) {
            FailedReads.Note(loop, "the folder leads back to one that holds it: not walked again");
        }
        FailedReads.SetPlace({});
        if (run.writeFailed) {
            break;
        }
    }
    run.image.reset();
    run.partition.reset();
}

#else

void WalkDiskImage(const std::string& path, bool /*deleted*/, InventoryRun& /*run*/) {
    FailedReads.Note(path, "disk images are read by the Linux build of quillet-inventory");
}

#endif
