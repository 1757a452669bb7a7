// A version block as a value, for the code that loads blocks besides the listing (tests and fuzz
// targets): released when it goes, so no caller can leak or free it twice. Header-only, so that
// the Windows tests and the fuzz targets use it too.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "version/version_info.h"

namespace test_support {

struct BlockReleaser {
    void operator()(unsigned char* block) const { ReleaseVersionBlock(block); }
};
using Block = std::unique_ptr<unsigned char[], BlockReleaser>;

inline Block LoadBlock(const std::string& path) {
    return Block(LoadVersionBlock(path.c_str()));
}

// What the three readers make of a block.
struct Values {
    std::string version;
    std::string company;
    std::string product;
    friend bool operator==(const Values&, const Values&) = default;
};

inline Values ReadValues(const unsigned char* block) {
    VersionValues values;
    ReadVersionValues(block, values);
    return {values.version, values.company, values.product};
}

inline std::ostream& operator<<(std::ostream& stream, const Values& values) {
    return stream << "{" << values.version << " | " << values.company << " | " << values.product
                  << "}";
}

}  // namespace test_support
