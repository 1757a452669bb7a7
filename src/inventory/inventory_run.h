// The inventory's per-file step, which the walk calls for every file entry, and what it writes to.
#pragma once

#include <optional>
#include <string>

#include "inventory/writers.h"

struct InventoryRun {
    RecordWriter* writer = nullptr;
    const ScanInfo* scan = nullptr;
    bool all = false;  // a record for each candidate without version information too
    bool writeFailed = false;
    // Where the walk under way reads, when inside a disk image (see InventoryRecord).
    std::optional<std::string> image;
    std::optional<std::string> partition;
};

// The run the walk's files go to; none outside a run.
extern InventoryRun* ActiveInventory;
