// The whole per-file path, applied to bytes as the content of a file.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes bytes to a file held in memory and examines it as the listing does: size, block, every
// query the readers make, the readers, the clean-up and the listing line; and as the inventory
// does: its record, with every string and the digest, as a JSON line and a CSV row.
void ExamineBytes(const std::uint8_t* bytes, std::size_t size);
