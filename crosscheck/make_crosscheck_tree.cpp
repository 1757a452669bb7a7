// Writes the fixture tree that the cross-check lists with both builds: valid files of every kind
// and shape, and damaged ones, each named for what it holds and alone in a folder of that name, so
// that the builds can be run on one case at a time; and a folder of names every build must list.
//
//   make_crosscheck_tree DIRECTORY

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fixtures/damaged_files.h"
#include "fixtures/executable_writer.h"

namespace {

using namespace fixture;

struct Case {
    std::string name;
    ImageFile image;
};

ImageFile Pe(const VersionNode& tree, bool pe32Plus = false,
             TextLengthStyle style = TextLengthStyle::UnitsWithTerminator) {
    return PeWithVersion(EncodeWideBlock(tree, style), pe32Plus);
}

VersionNode Tree(const std::string& product, const std::string& company) {
    return MakeVersionTree(SimpleVersionInfo(product, company, {1, 2, 3, 4}));
}

VersionInfo Strings(std::vector<std::pair<std::string, std::string>> strings) {
    VersionInfo info;
    info.stringTables = {{"040904B0", std::move(strings)}};
    return info;
}

std::vector<Case> ValidCases() {
    std::vector<Case> cases;
    cases.push_back({"pe32.exe", Pe(Tree("Widget", "Acme"))});
    cases.push_back({"pe32plus.dll", Pe(Tree("Widget", "Acme"), true)});
    for (Machine machine : {Machine::Arm64, Machine::Amd64}) {
        PeOptions options;
        options.pe32Plus = true;
        options.machine = machine;
        options.dotNet = machine == Machine::Amd64;
        options.resources = {VersionResource(EncodeWideBlock(Tree("Native", "Acme")))};
        cases.push_back({machine == Machine::Arm64 ? "arm64.dll" : "dotnet.exe", BuildPe(options)});
    }
    cases.push_back(
        {"ne.ocx", NeWithVersion(EncodeNarrowBlock(Tree("Old Control", "Acme (1994)")))});
    cases.push_back(
        {"ne-latin1.dll", NeWithVersion(EncodeNarrowBlock(Tree("Caf\xE9", "M\xFCller \x80")))});
    cases.push_back({"latin1.dll", Pe(Tree("Caf\xC3\xA9 cr\xC3\xA8me",
                                           "M\xC3\xBCller & S\xC3\xB6hne \xE2\x82\xAC"))});
    cases.push_back({"cjk.dll", Pe(Tree("\xE6\x97\xA5\xE6\x9C\xAC", "Acme"))});
    VersionNode lone = Tree("Widget", "x");
    lone.children[0].children[0].children[0].units = std::u16string{u'a', char16_t(0xD800), u'b'};
    cases.push_back({"lone-surrogate.dll", Pe(lone)});
    cases.push_back({"blank-values.dll", Pe(Tree(" \t ", ""))});
    cases.push_back({"whitespace.dll", Pe(Tree("  Wide   Widget \t", "Acme \n\r Tools"))});
    cases.push_back({"long-values.dll", Pe(Tree(std::string(60, 'p'), std::string(300, 'c')))});
    cases.push_back({"exact-limits.dll", Pe(Tree(std::string(50, 'p'), std::string(255, 'c')))});
    cases.push_back(
        {"lower-case-keys.dll",
         Pe(MakeVersionTree(Strings({{"companyname", "Acme"}, {"PRODUCTNAME", "Widget"}})))});
    for (auto [name, style] :
         {std::pair{"length-units.dll", TextLengthStyle::UnitsWithTerminator},
          std::pair{"length-units-unterminated.dll", TextLengthStyle::UnitsWithoutTerminator},
          std::pair{"length-bytes.dll", TextLengthStyle::Bytes}}) {
        cases.push_back({name, Pe(Tree("Widget", "Acme"), false, style)});
    }
    VersionNode unterminated = Tree("Widget", "Acme");
    for (VersionNode& text : unterminated.children[0].children[0].children) {
        text.terminateText = false;
    }
    cases.push_back(
        {"unterminated.dll", Pe(unterminated, false, TextLengthStyle::UnitsWithoutTerminator)});
    VersionInfo german = SimpleVersionInfo("Widget", "Acme");
    german.translations = {{0x0407, 0x04E4}, {0x0409, 0x04B0}};
    german.stringTables.push_back(
        {"040704E4", {{"CompanyName", "Acme GmbH"}, {"ProductName", "Ding"}}});
    cases.push_back({"first-translation.dll", Pe(MakeVersionTree(german))});
    VersionInfo mismatch = SimpleVersionInfo("Widget", "Acme");
    mismatch.translations = {{0x0409, 0x04E4}};
    cases.push_back({"translation-mismatch.dll", Pe(MakeVersionTree(mismatch))});
    VersionInfo noTranslation = SimpleVersionInfo("Widget", "Acme");
    noTranslation.withTranslationTable = false;
    cases.push_back({"no-translation.dll", Pe(MakeVersionTree(noTranslation))});
    VersionInfo noFixed = SimpleVersionInfo("Widget", "Acme");
    noFixed.fileVersion.reset();
    cases.push_back({"no-fixed-record.dll", Pe(MakeVersionTree(noFixed))});
    VersionInfo extremes = SimpleVersionInfo("Widget", "Acme", {65535, 0, 65535, 1});
    cases.push_back({"version-extremes.dll", Pe(MakeVersionTree(extremes))});
    PeOptions languages;
    languages.sortIds = false;
    languages.resources = {VersionResource(EncodeWideBlock(Tree("German", "Acme")), 0x0407),
                           VersionResource(EncodeWideBlock(Tree("English", "Acme")), 0x0409)};
    cases.push_back({"languages.dll", BuildPe(languages)});
    PeOptions others;
    others.resources = {Resource{kIconResourceType, std::uint32_t{1}, 0x0409, {1, 2, 3}},
                        Resource{kVersionResourceType, std::uint32_t{2}, 0x0409,
                                 EncodeWideBlock(Tree("Two", "Acme"))}};
    cases.push_back({"version-named-two.dll", BuildPe(others)});
    cases.push_back({"no-resources.exe", BuildPe(PeOptions{})});
    return cases;
}

// Names every listing must carry: outside any one ANSI code page, of DOS devices, and a file
// at a path of over 300 characters; all in one folder.
std::vector<Case> NameCases() {
    const ImageFile widget = Pe(Tree("Widget", "Acme"));
    std::vector<Case> cases;
    for (const char* name :
         {"plain.dll", "caf\xC3\xA9.dll", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.dll",
          "za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87.dll",
          "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC/app.exe",
          "\xE4\xB8\xAD\xE6\x96\x87\xE7\x9B\xAE\xE5\xBD\x95/x.dll", "ok.dll", "com1.dll", "aux.dll",
          "nul.dll", "con.exe", "lpt1.ocx", "prn.dll"}) {
        cases.push_back({name, widget});
    }
    cases.push_back(
        {std::string(90, 'd') + "/" + std::string(90, 'e') + "/" + std::string(80, 'f') + ".dll",
         widget});
    return cases;
}

std::vector<Case> DamagedCases() {
    std::vector<Case> cases;
    for (DamagedFile& file : DamagedFiles()) {
        cases.push_back({std::move(file.name), std::move(file.image)});
    }
    return cases;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fputs("usage: make_crosscheck_tree DIRECTORY\n", stderr);
        return 1;
    }
    const std::filesystem::path root(argv[1]);
    for (const Case& file : NameCases()) {
        const std::filesystem::path path = root / "names" / "all" / file.name;
        std::filesystem::create_directories(path.parent_path());
        if (!WriteImage(path.string(), file.image)) {
            std::fprintf(stderr, "make_crosscheck_tree: cannot write %s\n", file.name.c_str());
            return 1;
        }
    }
    for (const auto& [folder, cases] :
         {std::pair{"valid", ValidCases()}, std::pair{"damaged", DamagedCases()}}) {
        for (const Case& file : cases) {
            const std::filesystem::path caseFolder =
                root / folder / std::filesystem::path(file.name).stem();
            std::filesystem::create_directories(caseFolder);
            if (!WriteImage((caseFolder / file.name).string(), file.image)) {
                std::fprintf(stderr, "make_crosscheck_tree: cannot write %s\n", file.name.c_str());
                return 1;
            }
        }
    }
    return 0;
}
