// One record of the inventory: what a candidate's version resource, headers and look
// say of it, read through the platform's version library.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// 2: the fields image, partition and deleted, after error.
// 3: the build facts and the signature, after deleted.
inline constexpr int kRecordSchema = 3;

// The fields every record carries before its strings, in the schema's order: the leading columns
// of the records in columns (CSV, SQLite).
inline constexpr std::array<std::string_view, 15> kLeadingFieldNames = {
    "schema",          "host",       "scan_started", "path",     "size",
    "modified",        "format",     "machine",      "managed",  "file_version",
    "product_version", "file_flags", "file_type",    "language", "code_page"};

// The fields every record carries after its error, in the schema's order: where a file read out of
// a disk image lies.
inline constexpr std::array<std::string_view, 3> kPlaceFieldNames = {"image", "partition",
                                                                     "deleted"};

// The build facts every record carries after deleted, in the schema's order.
inline constexpr std::array<std::string_view, 7> kBuildFieldNames = {
    "compiled", "subsystem", "pdb_path", "pdb_id", "imphash", "assembly_name", "assembly_version"};

// The signature's values as records in columns (CSV, SQLite) carry them after the build facts:
// the primary signature's, and how many signatures it nests.
inline constexpr std::array<std::string_view, 11> kSignatureFieldNames = {
    "signature_status", "digest_algorithm", "signer",           "signer_subject",
    "issuer",           "serial",           "thumbprint",       "program_name",
    "signing_time",     "catalog",          "nested_signatures"};

// The names of the strings that records in columns (CSV, SQLite) carry one column each.
inline constexpr std::array<std::string_view, 12> kStandardStringNames = {
    "CompanyName",    "FileDescription",  "FileVersion",  "InternalName",
    "LegalCopyright", "OriginalFilename", "ProductName",  "ProductVersion",
    "Comments",       "LegalTrademarks",  "PrivateBuild", "SpecialBuild"};

struct NamedString {
    std::string name;
    std::string value;
};

// An Authenticode signature as it was verified; a value it does not tell is null.
struct SignatureRecord {
    // "unsigned", "malformed", "bad_digest", "bad_signature", "untrusted", "expired", "trusted".
    const char* status = "unsigned";
    std::optional<std::string> digestAlgorithm;  // "sha1", "sha256", ...
    std::optional<std::string> signer;           // the signing certificate's common name
    std::optional<std::string> signerSubject;    // distinguished names, RFC 4514
    std::optional<std::string> issuer;
    std::optional<std::string> serial;      // upper-case hex
    std::optional<std::string> thumbprint;  // SHA-1 of the signing certificate, upper-case hex
    std::optional<std::string> programName;
    std::optional<std::string> signingTime;  // a verified timestamp's, ISO 8601 UTC
    bool catalog = false;                    // the verdict is a catalog's
    std::vector<SignatureRecord> nested;
};

// A field the file does not tell is empty (null in the records).
struct InventoryRecord {
    std::string path;  // as the walk found it: the directory as given, the names as listed
    std::optional<std::uint64_t> size;
    std::optional<std::string> modified;  // ISO 8601, UTC
    const char* format = nullptr;         // "PE32", "PE32+", "NE"
    std::optional<std::string> machine;
    std::optional<bool> managed;
    std::optional<std::string> fileVersion;     // a.b.c.d, from the fixed record
    std::optional<std::string> productVersion;  // a.b.c.d, from the fixed record
    std::optional<std::vector<const char*>> fileFlags;
    const char* fileType = nullptr;
    std::optional<std::string> language;  // of the first translation, four hex digits
    std::optional<std::string> codePage;
    // The first translation's string table, in its order; null without a version resource.
    std::optional<std::vector<NamedString>> strings;
    std::optional<std::string> sha256;
    std::optional<std::string> error;  // why the file could not be read
    // Read out of a disk image: the image as it was given, and the partition the file lies in
    // (none for a bare file system); path is then the path inside the file system.
    std::optional<std::string> image;
    std::optional<std::string> partition;
    bool deleted = false;  // an entry the file system marks deleted, still held
    // What a PE image's headers tell of its build.
    std::optional<std::string> compiled;  // the header's time stamp, ISO 8601 UTC
    std::optional<std::string> subsystem;
    std::optional<std::string> pdbPath;
    std::optional<std::string> pdbId;
    std::optional<std::string> imphash;
    std::optional<std::string> assemblyName;
    std::optional<std::string> assemblyVersion;
    std::optional<SignatureRecord> signature;  // with --signatures
};

// The build facts as texts, in kBuildFieldNames' order.
std::array<const std::optional<std::string>*, 7> BuildFieldValues(const InventoryRecord& record);
// The primary signature's values as texts, in kSignatureFieldNames' order; all null without one.
std::array<std::optional<std::string>, 11> SignatureFieldValues(const InventoryRecord& record);

// NoFile: no regular file was found under the name (it went, or is a FIFO, a socket, a device,
// a link that leads nowhere or into a loop); such a candidate has no record, as it has no line in
// the listing.
enum class RecordOutcome { Versioned, Unversioned, NoFile, Failed };

// Reads the record of the candidate at path, whose listing record is found; error holds the
// platform's code for a file that could not be read. Of a file without version information, only
// with unversionedWanted is more read than that it has none.
RecordOutcome ReadRecord(const std::string& path, const WIN32_FIND_DATAA& found,
                         bool unversionedWanted, InventoryRecord& record, DWORD& error);

// The flags as one text for formats of columns, names joined by "|"; null for none.
std::optional<std::string> FlagsAsText(const std::optional<std::vector<const char*>>& flags);

// The value of the standard string name in record, or null.
const std::string* StandardString(const InventoryRecord& record, std::string_view name);

// A time as ISO 8601 in UTC to the second ("2024-05-01T12:30:00Z"); none where the platform
// refuses it.
std::optional<std::string> IsoTime(const FILETIME& time);
// The time now, as IsoTime writes it but to the millisecond ("2024-05-01T12:30:00.250Z").
std::string IsoTimeNow();
