// What the file formats (JSON Lines, CSV) share: whether a file appended to can take a run's
// records, and what a failed write says.

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
    for (std::size_t index = 0; index < std::max(found.size(), written.size()); ++index) {
        const std::string foundName = index < found.size() ? found[index] : std::string();
        const std::string writtenName = index < written.size() ? written[index] : std::string();
        if (foundName != writtenName) {
            const auto named = [](const std::string& name) {
                return name.empty() ? std::string("none") : "'" + name + "'";
            };
            return "its header's column " + std::to_string(index + 1) + " is " + named(foundName) +
                   " where this run writes " + named(writtenName) +
                   (writtenName == "sha256" || foundName == "sha256"
                        ? " (--sha256 must be given to all runs or none)"
                        : "");
        }
    }
    return {};
}

}  // namespace

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

std::string OutputProblem(const OutputFile& output) {
    const std::string reason = output.Problem();
    return "cannot write the output: " +
           (reason.empty() ? std::string("Write output file failed") : reason);
}
