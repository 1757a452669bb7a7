// quillet-compare: what was added, removed or changed between two listings of quillet's.
//
//   quillet-compare [--root OLD=NEW]... [--times] [--] OLD-LISTING NEW-LISTING
//
// Writes one tab-separated line per difference to standard output: "added", "removed" or
// "changed", the path, then the old and new file version, product and company (empty where there
// is none); with --times also the old and new date and time. The new listing's order first, then
// the files removed, in the old listing's order. Exit code 0: no differences; 1: differences; 2:
// trouble (a listing that cannot be read, or holds a line that is not a listing line).

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "compare/listing_bytes.h"
#include "compare/listing_index.h"

namespace {

using compare::ListingIndex;
using compare::ListingLine;
using compare::RootMapping;
using compare::Side;

constexpr int kExitSame = 0;
constexpr int kExitDifferent = 1;
constexpr int kExitTrouble = 2;

struct Options {
    std::vector<RootMapping> roots;
    bool times = false;
    std::string oldPath;
    std::string newPath;
};

constexpr const char* kUsage =
    "usage: quillet-compare [--root OLD=NEW]... [--times] [--] OLD-LISTING NEW-LISTING\n"
    "  --root OLD=NEW  paths under OLD in the old listing are those under NEW in the new one\n"
    "  --times         a change of the date or time alone is a change too\n"
    "  --help          this text\n";

// What is wrong with the arguments, said before the usage.
std::nullopt_t Refuse(const std::string& problem) {
    std::fprintf(stderr, "quillet-compare: %s\n%s", problem.c_str(), kUsage);
    return std::nullopt;
}

std::optional<Options> ParseArguments(int argc, char* argv[], bool& help) {
    Options options;
    std::vector<std::string> listings;
    bool optionsEnded = false;
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument(argv[index]);
        if (optionsEnded || !argument.starts_with("--")) {
            listings.emplace_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help") {
            help = true;
            return std::nullopt;
        } else if (argument == "--times") {
            options.times = true;
        } else if (argument == "--root") {
            const std::string_view mapping(index + 1 < argc ? argv[++index] : "");
            const std::size_t equals = mapping.find('=');
            if (equals == std::string_view::npos) {
                return Refuse("--root needs OLD=NEW");
            }
            options.roots.push_back(
                {std::string(mapping.substr(0, equals)), std::string(mapping.substr(equals + 1))});
        } else {
            return Refuse("unknown option '" + std::string(argument) + "'");
        }
    }
    if (listings.size() != 2) {
        return Refuse("two listings are needed, " + std::to_string(listings.size()) +
                      " were given");
    }
    options.oldPath = listings[0];
    options.newPath = listings[1];
    return options;
}

struct Loaded {
    std::optional<ListingIndex> index;
    std::string message;  // for standard error: why it could not be loaded, or a note
};

Loaded Load(const std::string& path, const Options& options, Side side) {
    Loaded loaded;
    std::string error;
    try {
        std::unique_ptr<compare::ListingBytes> bytes = compare::ListingBytes::Open(path, error);
        if (bytes) {
            loaded.index = ListingIndex::Parse(std::move(bytes), options.roots, side, error);
        }
    } catch (const std::bad_alloc&) {
        loaded.index.reset();
        error = "does not fit in memory";
    }
    if (!loaded.index) {
        loaded.message = "quillet-compare: " + path + ": " + error + "\n";
    } else if (loaded.index->Repeated() > 0) {
        loaded.message = "quillet-compare: " + path + ": " +
                         std::to_string(loaded.index->Repeated()) +
                         " lines are for paths listed again further on; each path's last line "
                         "is compared\n";
    }
    return loaded;
}

// Both listings, the old one read on a thread of its own while this one reads the new one.
std::pair<Loaded, Loaded> LoadBoth(const Options& options) {
    Loaded before;
    std::thread reader([&] { before = Load(options.oldPath, options, Side::Old); });
    Loaded after = Load(options.newPath, options, Side::New);
    reader.join();
    std::fputs(before.message.c_str(), stderr);
    std::fputs(after.message.c_str(), stderr);
    return {std::move(before), std::move(after)};
}

class Report {
  public:
    explicit Report(bool times) : times(times) {}

    void Line(std::string_view kind, std::string_view path, const ListingLine* before,
              const ListingLine* after) {
        text.append(kind).append("\t").append(path);
        const auto both = [&](std::string_view ListingLine::*field) {
            text.append("\t").append(before != nullptr ? before->*field : std::string_view());
            text.append("\t").append(after != nullptr ? after->*field : std::string_view());
        };
        both(&ListingLine::version);
        both(&ListingLine::product);
        both(&ListingLine::company);
        if (times) {
            const auto when = [&](const ListingLine* line) {
                text.append("\t");
                if (line != nullptr) {
                    text.append(line->date).append(" ").append(line->time);
                }
            };
            when(before);
            when(after);
        }
        text.push_back('\n');
        ++count;
        if (text.size() > (1 << 20)) {
            Flush();
        }
    }
    std::size_t Count() const { return count; }
    // False when the report could not be written whole.
    bool Finish() {
        Flush();
        return std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    }

  private:
    void Flush() {
        std::fwrite(text.data(), 1, text.size(), stdout);
        text.clear();
    }
    const bool times;
    std::string text;
    std::size_t count = 0;
};

}  // namespace

int main(int argc, char* argv[]) {
    bool help = false;
    const std::optional<Options> options = ParseArguments(argc, argv, help);
    if (help) {
        std::fputs(kUsage, stdout);
        return kExitSame;
    }
    if (!options) {
        return kExitTrouble;
    }
    const auto [loadedBefore, loadedAfter] = LoadBoth(*options);
    if (!loadedBefore.index || !loadedAfter.index) {
        return kExitTrouble;
    }
    const ListingIndex* before = &*loadedBefore.index;
    const ListingIndex* after = &*loadedAfter.index;
    std::vector<bool> matched(before->Size(), false);
    Report report(options->times);
    // Listings of one tree mostly list it in the same order: the line after the last one matched
    // is tried first, and the index asked only where that fails.
    std::size_t guess = 0;
    for (std::size_t index = 0; index < after->Size(); ++index) {
        if (!after->IsLastForItsPath(index)) {
            continue;  // listed again further on
        }
        std::size_t found = guess < before->Size() && before->SamePath(guess, *after, index) &&
                                    before->IsLastForItsPath(guess)
                                ? guess
                                : before->Find(*after, index);
        if (found == ListingIndex::npos) {
            const ListingLine now = after->Line(index);
            report.Line("added", now.path, nullptr, &now);
            continue;
        }
        matched[found] = true;
        guess = found + 1;
        if (before->Values(found, options->times) != after->Values(index, options->times)) {
            const ListingLine then = before->Line(found);
            const ListingLine now = after->Line(index);
            report.Line("changed", now.path, &then, &now);
        }
    }
    for (std::size_t index = 0; index < before->Size(); ++index) {
        if (before->IsLastForItsPath(index) && !matched[index]) {
            const ListingLine then = before->Line(index);
            report.Line("removed", then.path, &then, nullptr);
        }
    }
    if (!report.Finish()) {
        std::fprintf(stderr, "quillet-compare: cannot write the report: %s\n",
                     std::strerror(errno));
        return kExitTrouble;
    }
    return report.Count() == 0 ? kExitSame : kExitDifferent;
}
