// Arbitrary bytes as a listing for quillet-compare, with and without a root mapping: parsing must
// refuse what is not a listing and index what is, and every line of it must then be found, read
// and compared with the other listing's, never reading outside the bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "compare/listing_index.h"

namespace {

std::unique_ptr<compare::ListingBytes> AsListing(std::string_view text) {
    return compare::ListingBytes::FromText(text);
}

const std::vector<compare::RootMapping> kNoRoots;
const std::vector<compare::RootMapping> kRoots = {{"/mnt/win/", "c:\\"}, {"", "z:"}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t half = size / 2;
    for (const auto* roots : {&kRoots, &kNoRoots}) {
        std::string error;
        auto before = compare::ListingIndex::Parse(AsListing(bytes.substr(0, half)), *roots,
                                                   compare::Side::Old, error);
        auto after = compare::ListingIndex::Parse(AsListing(bytes.substr(half)), *roots,
                                                  compare::Side::New, error);
        if (!before || !after) {
            continue;
        }
        for (std::size_t index = 0; index < after->Size(); ++index) {
            const compare::ListingLine line = after->Line(index);
            const std::size_t found = before->Find(*after, index);
            if (found != compare::ListingIndex::npos &&
                (found >= before->Size() || !before->SamePath(found, *after, index) ||
                 before->Line(found).path.empty() || line.path.empty())) {
                std::abort();  // found what is not the same path
            }
            static_cast<void>(after->Values(index, true));
        }
    }
    return 0;
}
