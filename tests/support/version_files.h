// Loading version blocks from files made by the fixture writer.
#pragma once

#include <string>

#include "fixtures/executable_writer.h"
#include "support/test_support.h"
#include "support/version_block.h"

namespace test_support {

// Writes image into dir under name and loads its version block; null when it has none.
Block LoadImage(const TempDir& dir, const fixture::ImageFile& image,
                const std::string& name = "file.exe");

}  // namespace test_support
