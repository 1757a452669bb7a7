#include "support/version_files.h"

#include <gtest/gtest.h>

#include <ostream>

#include "version/version_info.h"

namespace test_support {

Block LoadImage(const TempDir& dir, const fixture::ImageFile& image, const std::string& name) {
    const std::string path = dir / name;
    EXPECT_TRUE(fixture::WriteImage(path, image));
    return LoadBlock(path);
}

}  // namespace test_support
