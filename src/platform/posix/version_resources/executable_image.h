// Finds the version resource in a PE32, PE32+ or NE file.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/posix/version_resources/file_source.h"

namespace platform::posix {

struct ResourceLocation {
    std::uint64_t fileOffset = 0;
    std::uint32_t size = 0;
    // How many of size bytes the file holds; the rest lies beyond its section's raw data and reads
    // as zero, as it would once the image is loaded.
    std::uint32_t storedSize = 0;
};

// The version resource (type 16, name 1; the neutral language first, then English (United
// States), then the first listed), or none when the file is no PE or NE image, has no such
// resource, or any structure on the way to it lies outside the file.
std::optional<ResourceLocation> FindVersionResource(FileSource& file);

#if defined(QUILLET_COUNT_WORK)
// How many structures (section headers, resource entries, address look-ups, NE records) the
// calls above have examined on this thread: the measure of their work, which grows linearly
// with what a file holds, never with its square. Only in the tests' build of the reader.
std::uint64_t StructuresExamined();
#endif

}  // namespace platform::posix
