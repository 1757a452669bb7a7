// CSV as RFC 4180: a header row, fields holding a comma, a quote or a line break quoted, quotes
// doubled. An absent value is an empty field and an empty text an empty quoted one, so that
// engines that load CSV (PostgreSQL's \copy) tell null from empty.

#include "inventory/writers.h"
#include "output/output_file.h"

namespace {

// Each field is followed by a comma; EndRow turns the last into the line's end.
void AppendField(std::string& line, const std::string* value) {
    const bool quoted = value != nullptr &&
                        (value->empty() || value->find_first_of(",\"\r\n") != std::string::npos);
    if (value != nullptr && !quoted) {
        line.append(*value);
    } else if (quoted) {
        line.push_back('"');
        for (const char character : *value) {
            if (character == '"') {
                line.push_back('"');
            }
            line.push_back(character);
        }
        line.push_back('"');
    }
    line.push_back(',');
}

// Rows end in CR LF, written here: a value's own line breaks stay as they are.
void EndRow(std::string& line) {
    line.back() = '\r';
    line.push_back('\n');
}

void AppendField(std::string& line, const std::optional<std::string>& value) {
    AppendField(line, value ? &*value : nullptr);
}

void AppendField(std::string& line, const char* value) {
    AppendField(line, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
}

class CsvWriter : public RecordWriter {
  public:
    explicit CsvWriter(OutputFile& output) : output(output) {}

    // A file appended to keeps its header, which must be the one this run writes.
    bool Begin(const ScanInfo& scan) override {
        const std::string header = Header(scan);
        return StartRecords(output, "CSV", header, refusal) &&
               (output.HeldBefore() || output.Write(header) == S_OK);
    }

    bool Write(const ScanInfo& scan, const InventoryRecord& record) override {
        FormatRow(line, scan, record);
        return output.Write(line) == S_OK;
    }

    bool Finish(const ScanInfo& /*scan*/) override { return output.Close() == S_OK; }
    std::string Problem() const override { return OutputProblem(output, refusal); }

    static std::string Header(const ScanInfo& scan) {
        std::string header;
        for (std::string_view name : kLeadingFieldNames) {
            AppendField(header, std::string(name));
        }
        for (std::string_view name : kStandardStringNames) {
            AppendField(header, std::string(name));
        }
        if (scan.sha256) {
            AppendField(header, "sha256");
        }
        AppendField(header, "error");
        for (std::string_view name : kPlaceFieldNames) {
            AppendField(header, std::string(name));
        }
        for (std::string_view name : kBuildFieldNames) {
            AppendField(header, std::string(name));
        }
        for (std::string_view name : kSignatureFieldNames) {
            AppendField(header, std::string(name));
        }
        EndRow(header);
        return header;
    }

    static void FormatRow(std::string& line, const ScanInfo& scan, const InventoryRecord& record) {
        line.clear();
        AppendField(line, std::to_string(kRecordSchema));
        AppendField(line, scan.host);
        AppendField(line, scan.started);
        AppendField(line, record.path);
        AppendField(line, record.size ? std::optional(std::to_string(*record.size)) : std::nullopt);
        AppendField(line, record.modified);
        AppendField(line, record.format);
        AppendField(line, record.machine);
        AppendField(line, record.managed ? (*record.managed ? "true" : "false") : nullptr);
        AppendField(line, record.fileVersion);
        AppendField(line, record.productVersion);
        AppendField(line, FlagsAsText(record.fileFlags));
        AppendField(line, record.fileType);
        AppendField(line, record.language);
        AppendField(line, record.codePage);
        for (std::string_view name : kStandardStringNames) {
            AppendField(line, StandardString(record, name));
        }
        if (scan.sha256) {
            AppendField(line, record.sha256);
        }
        AppendField(line, record.error);
        AppendField(line, record.image);
        AppendField(line, record.partition);
        AppendField(line, record.deleted ? "true" : "false");
        for (const std::optional<std::string>* value : BuildFieldValues(record)) {
            AppendField(line, *value);
        }
        for (const std::optional<std::string>& value : SignatureFieldValues(record)) {
            AppendField(line, value);
        }
        EndRow(line);
    }

  private:
    OutputFile& output;
    std::string line;
    std::string refusal;
};

}  // namespace

std::string CsvRecordRow(const ScanInfo& scan, const InventoryRecord& record) {
    std::string row;
    CsvWriter::FormatRow(row, scan, record);
    return row;
}

std::unique_ptr<RecordWriter> MakeCsvWriter(OutputFile& output) {
    return std::make_unique<CsvWriter>(output);
}
