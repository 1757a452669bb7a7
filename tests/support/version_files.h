// Loading version blocks from files made by the fixture writer.
#pragma once

#include <memory>
#include <string>

#include "fixtures/executable_writer.h"
#include "support/test_support.h"

namespace test_support {

struct BlockReleaser {
    void operator()(unsigned char* block) const;
};
using Block = std::unique_ptr<unsigned char[], BlockReleaser>;

// Writes image into dir under name and loads its version block; null when it has none.
Block LoadImage(const TempDir& dir, const fixture::ImageFile& image,
                const std::string& name = "file.exe");

// What the three readers make of a block.
struct Values {
    std::string version;
    std::string company;
    std::string product;
    friend bool operator==(const Values&, const Values&) = default;
};
Values ReadValues(const unsigned char* block);
std::ostream& operator<<(std::ostream& stream, const Values& values);

}  // namespace test_support
