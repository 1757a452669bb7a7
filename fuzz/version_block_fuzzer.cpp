// Arbitrary bytes as the version resource of an otherwise valid PE32 file, so that the fuzzer
// spends its time inside the version block rather than on the way to it. The first byte chooses
// PE32, PE32+ or NE.

#include "examine_bytes.h"
#include "fixtures/executable_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const fixture::Bytes block(data + 1, data + size);
    const fixture::ImageFile image = data[0] % 3 == 0   ? fixture::NeWithVersion(block)
                                     : data[0] % 3 == 1 ? fixture::PeWithVersion(block, true)
                                                        : fixture::PeWithVersion(block, false);
    ExamineBytes(image.bytes.data(), image.bytes.size());
    return 0;
}
