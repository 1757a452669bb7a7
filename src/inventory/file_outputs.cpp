// What the formats share: whether a file appended to can take a run's records (JSON Lines, CSV),
// what a failed write says, and where two lists of columns part (CSV, SQLite).

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "inventory/writers.h"
#include "output/output_file.h"

namespace {

// What a file beginning with firstLine holds, as far as its first line tells.
std::string FormatOf(const std::string& firstLine) {
    if (firstLine.starts_with("{\"schema\":")) {
        return "JSON Lines";
    }
    if (firstLine.starts_with("schema,")) {
        return "CSV";
    }
    if (firstLine.starts_with("SQLite format 3")) {
        return "a SQLite database";
    }
    return "no inventory";
}

std::vector<std::string> ColumnsOf(const std::string& header) {
    std::vector<std::string> columns;
    std::string::size_type start = 0;
    const std::string::size_type end = header.find_last_not_of("\r\n") + 1;
    while (start <= end) {
        const std::string::size_type comma = std::min(header.find(',', start), end);
        columns.push_back(header.substr(start, comma - start));
        start = comma + 1;
    }
    return columns;
}

// The first column in which two headers differ, named: empty when they are the same.
std::string HeaderDifference(const std::string& there, const std::string& header) {
    const std::vector<std::string> found = ColumnsOf(there);
    const std::vector<std::string> written = ColumnsOf(header);
    const std::optional<std::size_t> index = FirstDifferingColumn(found, written);
    if (!index) {
        return {};
    }
    const auto named = [index](const std::vector<std::string>& names) {
        return *index < names.size() ? "'" + names[*index] + "'" : std::string("none");
    };
    const bool sha256Column = (*index < found.size() && found[*index] == "sha256") ||
                              (*index < written.size() && written[*index] == "sha256");
    // The columns of disk images came with the records' schema 2, those of the build facts and
    // signatures with schema 3: a file that ends before them holds records of an earlier one.
    const bool earlierSchema =
        *index < written.size() && *index >= found.size() &&
        (written[*index] == kPlaceFieldNames[0] || written[*index] == kBuildFieldNames[0]);
    return "its header's column " + std::to_string(*index + 1) + " is " + named(found) +
           " where this run writes " + named(written) +
           (sha256Column    ? " (--sha256 must be given to all runs or none)"
            : earlierSchema ? " (its records are of an earlier schema)"
                            : "");
}

// Why a file holding firstLine before this run cannot take its records: empty when it can.
std::string AppendRefusal(const std::string& firstLine, std::string_view format,
                          const std::string& header) {
    const std::string there = FormatOf(firstLine);
    if (there != format) {
        return "will not append " + std::string(format) + " to a file that holds " + there;
    }
    if (format == "CSV" && firstLine != header) {
        const std::string difference = HeaderDifference(firstLine, header);
        return "will not append to this CSV file: " +
               (difference.empty() ? std::string("its header differs from this run's")
                                   : difference);
    }
    return {};
}

}  // namespace

bool StartRecords(OutputFile& output, std::string_view format, const std::string& header,
                  std::string& refusal) {
    if (output.Write("") != S_OK) {
        return false;
    }
    if (const auto& before = output.HeldBefore()) {
        refusal = AppendRefusal(*before, format, header);
        if (!refusal.empty()) {
            output.Abandon();
            return false;
        }
    }
    return true;
}

std::string OutputProblem(const OutputFile& output, const std::string& refusal) {
    if (!refusal.empty()) {
        return refusal;
    }
    const std::string reason = output.Problem();
    return "cannot write the output: " +
           (reason.empty() ? std::string("Write output file failed") : reason);
}

std::optional<std::size_t> FirstDifferingColumn(const std::vector<std::string>& found,
                                                const std::vector<std::string>& written) {
    const auto differs = std::mismatch(found.begin(), found.end(), written.begin(), written.end());
    if (differs.first == found.end() && differs.second == written.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(differs.first - found.begin());
}
