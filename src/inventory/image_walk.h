// The inventory of a disk image, read without mounting it: each file system in it walked as the
// walk walks a directory, its records carrying the image and the partition.
#pragma once

#include <string>

#include "inventory/inventory_run.h"

// Walks every file system in the image at path, as given; what cannot be read of it is noted in
// FailedReads. With deleted, also the program files its file systems mark deleted but still hold.
void WalkDiskImage(const std::string& path, bool deleted, InventoryRun& run);
