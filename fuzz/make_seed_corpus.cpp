// Writes the fuzzers' seed corpora: whole files for file_fuzzer and bare version blocks (behind a
// byte choosing the container) for version_block_fuzzer, valid ones and damaged ones.
//
//   make_seed_corpus FILE_CORPUS BLOCK_CORPUS

#include <cstdio>
#include <filesystem>
#include <string>

#include "fixtures/executable_writer.h"

namespace {

using namespace fixture;

std::vector<std::pair<std::string, VersionNode>> Trees() {
    VersionInfo several = SimpleVersionInfo("Widget", "Acme");
    several.translations = {{0x0407, 0x04E4}, {0x0409, 0x04B0}};
    several.stringTables.push_back(
        {"040704E4", {{"CompanyName", "Acme GmbH"}, {"ProductName", "Ding"}}});
    VersionInfo odd = SimpleVersionInfo("  Wid\tget \r\n", "M\xC3\xBCller \xF0\x9F\x98\x80");
    odd.stringTables[0].key = "040904b0";
    odd.stringTables[0].strings[0].first = "companyNAME";
    VersionInfo bare = SimpleVersionInfo("P", "C");
    bare.fileVersion.reset();
    bare.withTranslationTable = false;
    VersionNode zeroChild = MakeVersionTree(SimpleVersionInfo("Widget", "Acme"));
    zeroChild.children[0].children[0].children[0].lengthOverride = 0;
    VersionNode wrongType = MakeVersionTree(SimpleVersionInfo("Widget", "Acme"));
    wrongType.children[0].children[0].children[1].typeOverride = 0;
    return {{"simple", MakeVersionTree(SimpleVersionInfo("Widget", "Acme"))},
            {"several", MakeVersionTree(several)},
            {"odd", MakeVersionTree(odd)},
            {"bare", MakeVersionTree(bare)},
            {"zero-child", zeroChild},
            {"wrong-type", wrongType}};
}

bool Write(const std::filesystem::path& path, const Bytes& bytes) {
    return WriteBytes(path.string(), bytes);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fputs("usage: make_seed_corpus FILE_CORPUS BLOCK_CORPUS\n", stderr);
        return 1;
    }
    const std::filesystem::path files(argv[1]);
    const std::filesystem::path blocks(argv[2]);
    std::filesystem::create_directories(files);
    std::filesystem::create_directories(blocks);
    bool written = true;
    for (const auto& [name, tree] : Trees()) {
        const Bytes wide = EncodeWideBlock(tree, TextLengthStyle::UnitsWithTerminator);
        const Bytes wideBytes = EncodeWideBlock(tree, TextLengthStyle::Bytes);
        const Bytes narrow = EncodeNarrowBlock(tree);
        written = written && Write(files / (name + ".pe32"), PeWithVersion(wide).bytes) &&
                  Write(files / (name + ".pe32plus"), PeWithVersion(wideBytes, true).bytes) &&
                  Write(files / (name + ".ne"), NeWithVersion(narrow).bytes);
        Bytes wideSeed{2};
        wideSeed.insert(wideSeed.end(), wide.begin(), wide.end());
        Bytes narrowSeed{0};
        narrowSeed.insert(narrowSeed.end(), narrow.begin(), narrow.end());
        written = written && Write(blocks / (name + ".wide"), wideSeed) &&
                  Write(blocks / (name + ".narrow"), narrowSeed);
    }
    PeOptions many;
    many.pe32Plus = true;
    many.machine = Machine::Arm64;
    many.dotNet = true;
    many.resources = {
        Resource{kIconResourceType, std::uint32_t{1}, 0x0409, {1, 2, 3}},
        VersionResource(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo("German", "Acme"))),
                        0x0407),
        VersionResource(EncodeWideBlock(MakeVersionTree(SimpleVersionInfo("Neutral", "Acme"))),
                        0x0000),
        Resource{std::string("CUSTOM"), std::string("NAME"), 0x0409, {4, 5}}};
    many.resourceRawShortfall = 6;
    written = written && Write(files / "many-resources.pe32plus", BuildPe(many).bytes) &&
              Write(files / "no-resources.pe32", BuildPe(PeOptions{}).bytes);
    return written ? 0 : 1;
}
