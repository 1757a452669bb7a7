#include "support/version_files.h"

#include <gtest/gtest.h>

#include <ostream>

#include "version/version_info.h"

namespace test_support {

void BlockReleaser::operator()(unsigned char* block) const {
    ReleaseVersionBlock(block);
}

Block LoadImage(const TempDir& dir, const fixture::ImageFile& image, const std::string& name) {
    const std::string path = dir / name;
    EXPECT_TRUE(fixture::WriteImage(path, image));
    return Block(LoadVersionBlock(path.c_str()));
}

Values ReadValues(const unsigned char* block) {
    VersionValues values;
    ReadVersionValues(block, values);
    return {values.version, values.company, values.product};
}

std::ostream& operator<<(std::ostream& stream, const Values& values) {
    return stream << "{" << values.version << " | " << values.company << " | " << values.product
                  << "}";
}

}  // namespace test_support
