// Arbitrary bytes as the content of a program file.

#include "examine_bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ExamineBytes(data, size);
    return 0;
}
