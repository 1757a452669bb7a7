// The format reader's work on the largest tables a file can hold: built apart, with the reader
// counting what it examines, so that the tool's own build counts nothing.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fixtures/executable_writer.h"
#include "platform/posix/version_resources/executable_image.h"
#include "platform/posix/version_resources/file_source.h"

namespace {

using namespace fixture;

TEST(Economy, WorkGrowsLinearlyWithWhatAFileHolds) {
    // The most a PE file can hold for a reader to wade through: 65,535 sections, the real ones
    // last, and resource tables of 65,535 entries at every level, the wanted one last.
    constexpr std::uint64_t kMostSections = 65535;
    constexpr std::uint64_t kMostEntries = 65535;
    PeOptions options;
    options.resources = {
        VersionResource(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo("Widget", "Acme"))))};
    options.leadingSections = kMostSections - 2;
    options.paddingEntries = kMostEntries - 1;
    std::string path = "/tmp/quillet-work-XXXXXX";
    const int made = mkstemp(path.data());
    ASSERT_GE(made, 0);
    close(made);
    ASSERT_TRUE(WriteImage(path, BuildPe(options)));
    platform::posix::FileSource file;
    ASSERT_TRUE(file.Open(path.c_str()));
    const std::uint64_t before = platform::posix::StructuresExamined();
    EXPECT_TRUE(platform::posix::FindVersionResource(file).has_value());
    const std::uint64_t work = platform::posix::StructuresExamined() - before;
    unlink(path.c_str());
    // Each look-up of an address a binary search.
    EXPECT_LT(work, 20 * (kMostSections + 3 * kMostEntries));
}

}  // namespace
