// Every input that once made a fuzz target fail, examined again as the content of a program file.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fixtures/executable_writer.h"
#include "support/test_support.h"
#include "support/version_block.h"
#include "version/version_info.h"

namespace {

std::vector<std::filesystem::path> RecordedInputs() {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(QUILLET_FUZZ_REGRESSIONS)) {
        if (entry.is_regular_file() && entry.path().extension() != ".md") {
            inputs.push_back(entry.path());
        }
    }
    return inputs;
}

TEST(FuzzRegressions, RecordedInputsAreExaminedSafely) {
    const auto inputs = RecordedInputs();
    if (inputs.empty()) {
        GTEST_SKIP() << "no fuzzer finding has been recorded";
    }
    test_support::TempDir dir;
    for (const auto& input : inputs) {
        std::ifstream stream(input, std::ios::binary);
        const fixture::Bytes bytes((std::istreambuf_iterator<char>(stream)),
                                   std::istreambuf_iterator<char>());
        const std::string path = dir / "input.exe";
        ASSERT_TRUE(fixture::WriteBytes(path, bytes));
        const test_support::Block block = test_support::LoadBlock(path);
        if (!block) {
            continue;
        }
        VersionValues values;
        ReadVersionValues(block.get(), values);
        EXPECT_LE(strnlen(values.version, sizeof values.version), 23u) << input;
        EXPECT_LE(strnlen(values.company, sizeof values.company), 255u) << input;
        EXPECT_LE(strnlen(values.product, sizeof values.product), 50u) << input;
    }
}

}  // namespace
