// The formats the inventory's records are written in: JSON Lines, CSV and SQLite.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/record.h"

class OutputFile;

// What every record of a run shares, and what the run's SQLite row holds.
struct ScanInfo {
    std::string host;
    std::string started;  // ISO 8601, UTC
    std::string finished;
    std::vector<std::string> directories;
    std::string toolVersion;
    bool sha256 = false;  // records carry the sha256 field
};

class RecordWriter {
  public:
    virtual ~RecordWriter() = default;
    // False when the output cannot be written, or is refused (a file appended to that holds
    // another format, or another run's columns); Problem() then says why, and the output is left
    // as it was.
    virtual bool Begin(const ScanInfo& scan) = 0;
    virtual bool Write(const ScanInfo& scan, const InventoryRecord& record) = 0;
    // Ends the run: everything written is kept (committed, flushed and closed).
    virtual bool Finish(const ScanInfo& scan) = 0;
    // Why the output was refused or could not be written, as a sentence for the user.
    virtual std::string Problem() const = 0;
};

// One JSON object per record, keys in the schema's order, each line ended by a line feed.
std::unique_ptr<RecordWriter> MakeJsonLinesWriter(OutputFile& output);
// RFC 4180 with a header row (left out when appending to a file that has it), lines ended by
// CR LF; strings in the twelve standard columns, other names left out.
std::unique_ptr<RecordWriter> MakeCsvWriter(OutputFile& output);
// Tables scans, files and strings in the database at path: replaced, or added to with append,
// in one transaction per run. Null where this build has no SQLite.
std::unique_ptr<RecordWriter> MakeSqliteWriter(const std::string& path, bool append);

// Opens output for a run's records in format ("JSON Lines", or "CSV" whose header is header).
// False when it cannot be opened, or when it held something before that this run may not add to:
// refusal then says why, and the file is left as it was.
bool StartRecords(OutputFile& output, std::string_view format, const std::string& header,
                  std::string& refusal);

// Why a file format's output was refused (refusal) or could not be written, as a sentence.
std::string OutputProblem(const OutputFile& output, const std::string& refusal);

// The first place at which two lists of column names differ, or none when they are the same.
std::optional<std::size_t> FirstDifferingColumn(const std::vector<std::string>& found,
                                                const std::vector<std::string>& written);

// One record as its JSON Lines line (ended by a line feed), and as its CSV row (ended by CR LF).
std::string JsonRecordLine(const ScanInfo& scan, const InventoryRecord& record);
std::string CsvRecordRow(const ScanInfo& scan, const InventoryRecord& record);

// A path as JSON text, quoted: bytes that are not UTF-8 each as the escape \udc80 to \udcff, so
// that the name's bytes can be had back exactly (Python's "surrogateescape").
std::string JsonPathText(const std::string& path);
