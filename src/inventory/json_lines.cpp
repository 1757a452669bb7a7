// JSON Lines through rapidjson's writer: the escaping of every text is the library's.

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "inventory/writers.h"
#include "output/output_file.h"
#include "platform/formats/text_encoding.h"

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// The length of the valid UTF-8 sequence at text[at], or 0 where none starts.
std::size_t Utf8SequenceAt(const std::string& text, std::size_t at) {
    const auto decoded = platform::formats::DecodeUtf8(text.data() + at, text.size() - at);
    // A malformed sequence decodes as U+FFFD for one byte; a real U+FFFD takes three.
    return decoded.codePoint == 0xFFFD && decoded.length == 1 ? 0 : decoded.length;
}

bool IsUtf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = Utf8SequenceAt(text, at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

// value written by write, or null where it is absent.
template <typename Value, typename Write>
void WriteOrNull(JsonWriter& writer, const std::optional<Value>& value, const Write& write) {
    if (value) {
        write(*value);
    } else {
        writer.Null();
    }
}

void WriteText(JsonWriter& writer, const std::optional<std::string>& text) {
    WriteOrNull(writer, text, [&](const std::string& value) {
        writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    });
}

void WriteText(JsonWriter& writer, const char* text) {
    if (text != nullptr) {
        writer.String(text);
    } else {
        writer.Null();
    }
}

// A name that may hold any bytes (a path, a host name given), each byte that is not UTF-8 as
// its escape.
void WriteName(JsonWriter& writer, const std::string& name) {
    if (IsUtf8(name)) {
        WriteText(writer, name);
    } else {
        const std::string text = JsonPathText(name);
        writer.RawValue(text.data(), text.size(), rapidjson::kStringType);
    }
}

// A signature's values; nested signatures (one level of them, as files carry them) only at the
// top.
void WriteSignature(JsonWriter& writer, const SignatureRecord& signature, bool withNested) {
    writer.StartObject();
    writer.Key("status");
    writer.String(signature.status);
    const std::pair<const char*, const std::optional<std::string>*> texts[] = {
        {"digest_algorithm", &signature.digestAlgorithm},
        {"signer", &signature.signer},
        {"signer_subject", &signature.signerSubject},
        {"issuer", &signature.issuer},
        {"serial", &signature.serial},
        {"thumbprint", &signature.thumbprint},
        {"program_name", &signature.programName},
        {"signing_time", &signature.signingTime}};
    for (const auto& [key, value] : texts) {
        writer.Key(key);
        WriteOrNull(writer, *value, [&](const std::string& text) { WriteName(writer, text); });
    }
    if (withNested) {
        writer.Key("nested");
        writer.StartArray();
        for (const SignatureRecord& nested : signature.nested) {
            WriteSignature(writer, nested, false);
        }
        writer.EndArray();
    }
    writer.Key("catalog");
    writer.Bool(signature.catalog);
    writer.EndObject();
}

void WriteRecord(JsonWriter& writer, const ScanInfo& scan, const InventoryRecord& record) {
    writer.StartObject();
    writer.Key("schema");
    writer.Int(kRecordSchema);
    writer.Key("host");
    WriteName(writer, scan.host);
    writer.Key("scan_started");
    WriteText(writer, scan.started);
    writer.Key("path");
    WriteName(writer, record.path);
    writer.Key("size");
    WriteOrNull(writer, record.size, [&](std::uint64_t size) { writer.Uint64(size); });
    writer.Key("modified");
    WriteText(writer, record.modified);
    writer.Key("format");
    WriteText(writer, record.format);
    writer.Key("machine");
    WriteText(writer, record.machine);
    writer.Key("managed");
    WriteOrNull(writer, record.managed, [&](bool managed) { writer.Bool(managed); });
    writer.Key("file_version");
    WriteText(writer, record.fileVersion);
    writer.Key("product_version");
    WriteText(writer, record.productVersion);
    writer.Key("file_flags");
    WriteOrNull(writer, record.fileFlags, [&](const std::vector<const char*>& flags) {
        writer.StartArray();
        for (const char* flag : flags) {
            writer.String(flag);
        }
        writer.EndArray();
    });
    writer.Key("file_type");
    WriteText(writer, record.fileType);
    writer.Key("language");
    WriteText(writer, record.language);
    writer.Key("code_page");
    WriteText(writer, record.codePage);
    writer.Key("strings");
    WriteOrNull(writer, record.strings, [&](const std::vector<NamedString>& strings) {
        writer.StartObject();
        for (const NamedString& named : strings) {
            writer.Key(named.name.data(), static_cast<rapidjson::SizeType>(named.name.size()));
            writer.String(named.value.data(), static_cast<rapidjson::SizeType>(named.value.size()));
        }
        writer.EndObject();
    });
    if (scan.sha256) {
        writer.Key("sha256");
        WriteText(writer, record.sha256);
    }
    writer.Key("error");
    WriteText(writer, record.error);
    writer.Key("image");
    WriteOrNull(writer, record.image, [&](const std::string& image) { WriteName(writer, image); });
    writer.Key("partition");
    WriteText(writer, record.partition);
    writer.Key("deleted");
    writer.Bool(record.deleted);
    const auto buildValues = BuildFieldValues(record);
    for (std::size_t index = 0; index < kBuildFieldNames.size(); ++index) {
        writer.Key(kBuildFieldNames[index].data(),
                   static_cast<rapidjson::SizeType>(kBuildFieldNames[index].size()));
        WriteOrNull(writer, *buildValues[index],
                    [&](const std::string& value) { WriteName(writer, value); });
    }
    writer.Key("signature");
    WriteOrNull(writer, record.signature,
                [&](const SignatureRecord& signature) { WriteSignature(writer, signature, true); });
    writer.EndObject();
}

// The record's line, in buffer, which is reused from record to record.
std::string_view FormatLine(rapidjson::StringBuffer& buffer, const ScanInfo& scan,
                            const InventoryRecord& record) {
    buffer.Clear();
    JsonWriter writer(buffer);
    WriteRecord(writer, scan, record);
    buffer.Put('\n');
    return {buffer.GetString(), buffer.GetSize()};
}

class JsonLinesWriter : public RecordWriter {
  public:
    explicit JsonLinesWriter(OutputFile& output) : output(output) {}

    bool Begin(const ScanInfo& /*scan*/) override {
        return StartRecords(output, "JSON Lines", {}, refusal);
    }

    bool Write(const ScanInfo& scan, const InventoryRecord& record) override {
        return output.Write(FormatLine(buffer, scan, record)) == S_OK;
    }

    bool Finish(const ScanInfo& /*scan*/) override { return output.Close() == S_OK; }
    std::string Problem() const override { return OutputProblem(output, refusal); }

  private:
    OutputFile& output;
    rapidjson::StringBuffer buffer;
    std::string refusal;
};

}  // namespace

std::string JsonPathText(const std::string& path) {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    std::string text = "\"";
    std::size_t validStart = 0;
    // Each valid run is escaped by the library; the bytes between runs are written as escapes.
    const auto flushValid = [&](std::size_t end) {
        buffer.Clear();
        writer.Reset(buffer);
        writer.String(path.data() + validStart, static_cast<rapidjson::SizeType>(end - validStart));
        const std::string_view quoted(buffer.GetString(), buffer.GetSize());
        text.append(quoted.substr(1, quoted.size() - 2));
    };
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t length = Utf8SequenceAt(path, at);
        if (length > 0) {
            at += length;
            continue;
        }
        flushValid(at);
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\udc%02x", static_cast<unsigned char>(path[at]));
        text.append(escape);
        validStart = ++at;
    }
    flushValid(path.size());
    text.push_back('"');
    return text;
}

std::string JsonRecordLine(const ScanInfo& scan, const InventoryRecord& record) {
    rapidjson::StringBuffer buffer;
    return std::string(FormatLine(buffer, scan, record));
}

std::unique_ptr<RecordWriter> MakeJsonLinesWriter(OutputFile& output) {
    return std::make_unique<JsonLinesWriter>(output);
}
