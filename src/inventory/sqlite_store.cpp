// The records in a SQLite database: one row in scans for each run, one in files for each record
// (with the twelve standard strings as columns), one in strings for every string, one in
// nested_signatures for every signature a file's signature nests. A run's records
// reach the database in one transaction at its end, so that a run cut short leaves the database
// as it was before it, and the database is written ahead of its log, so that readers neither
// hold up that commit nor need to roll back one that failed.

#include "inventory/writers.h"

#if defined(QUILLET_HAVE_SQLITE)

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <iterator>

namespace {

// How long a run waits for another run's write to the database to end before it gives up.
constexpr int kLockWaitMilliseconds = 10 * 60 * 1000;

std::string Quoted(std::string_view name) {
    std::string quoted;
    quoted.reserve(name.size() + 2);
    quoted.append(1, '"').append(name).append(1, '"');
    return quoted;
}

struct Table {
    std::string_view name;
    std::vector<std::string> columns;  // each with its type and constraints, as created
};

std::vector<Table> Tables() {
    Table files{"files",
                {"id INTEGER PRIMARY KEY", "scan_id INTEGER NOT NULL REFERENCES scans(id)"}};
    constexpr std::array<std::string_view, 15> kLeadingTypes = {
        "INTEGER", "TEXT", "TEXT", "TEXT", "INTEGER", "TEXT", "TEXT", "TEXT",
        "INTEGER", "TEXT", "TEXT", "TEXT", "TEXT",    "TEXT", "TEXT"};
    for (std::size_t index = 0; index < kLeadingFieldNames.size(); ++index) {
        files.columns.push_back(std::string(kLeadingFieldNames[index]) + " " +
                                std::string(kLeadingTypes[index]));
    }
    for (std::string_view name : kStandardStringNames) {
        files.columns.push_back(Quoted(name) + " TEXT");
    }
    files.columns.insert(files.columns.end(), {"sha256 TEXT", "error TEXT", "image TEXT",
                                               "partition TEXT", "deleted INTEGER"});
    for (std::string_view name : kBuildFieldNames) {
        files.columns.push_back(std::string(name) + " TEXT");
    }
    for (std::string_view name : kSignatureFieldNames) {
        const bool number = name == "catalog" || name == "nested_signatures";
        files.columns.push_back(std::string(name) + (number ? " INTEGER" : " TEXT"));
    }
    return {
        {"scans",
         {"id INTEGER PRIMARY KEY", "host TEXT", "started TEXT", "finished TEXT",
          "directories TEXT", "tool_version TEXT", "schema INTEGER"}},
        std::move(files),
        {"strings", {"file_id INTEGER NOT NULL REFERENCES files(id)", "name TEXT", "value TEXT"}},
        {"nested_signatures",
         {"file_id INTEGER NOT NULL REFERENCES files(id)", "position INTEGER", "status TEXT",
          "digest_algorithm TEXT", "signer TEXT", "signer_subject TEXT", "issuer TEXT",
          "serial TEXT", "thumbprint TEXT", "program_name TEXT", "signing_time TEXT"}}};
}

// A column's name, as its definition starts with it (quoted or not).
std::string ColumnName(const std::string& definition) {
    const std::string name = definition.substr(0, definition.find(' '));
    return name.front() == '"' ? name.substr(1, name.size() - 2) : name;
}

std::string CreateTable(const Table& table, std::string_view schema) {
    std::string sql =
        "CREATE TABLE IF NOT EXISTS " + std::string(schema) + "." + std::string(table.name) + " (";
    for (const std::string& column : table.columns) {
        sql.append(&column == &table.columns.front() ? "" : ", ").append(column);
    }
    return sql + ");";
}

// The records of a run are held in tables of the connection's own temporary database until the
// run ends, and only then copied into the database in one short transaction: a run holds the
// database's write lock for the copy alone, never for its walk.
std::string CreatePendingTables() {
    std::string sql;
    for (const Table& table : Tables()) {
        if (table.name != "scans") {
            Table pending = table;
            // The scan's id is known, and the files are there, only when the records are copied.
            for (std::string& column : pending.columns) {
                column = column.substr(
                    0, std::min(column.find(" NOT NULL"), column.find(" REFERENCES")));
            }
            sql += CreateTable(pending, "temp");
        }
    }
    return sql;
}

std::string ColumnList(const Table& table) {
    std::string list;
    for (const std::string& column : table.columns) {
        list.append(list.empty() ? "" : ", ").append(Quoted(ColumnName(column)));
    }
    return list;
}

// The files table's columns, each with its value's place, in the order Write binds them.
std::string InsertFile() {
    const Table files = Tables()[1];
    std::string values = "NULL";
    for (std::size_t index = 1; index < files.columns.size(); ++index) {
        values.append(", ?");
    }
    return "INSERT INTO temp.files (" + ColumnList(files) + ") VALUES (" + values + ")";
}

// The run's pending files copied in, their ids moved past those the database holds (?1), under
// the run's scan (?2).
std::string CopyPendingFiles() {
    const Table files = Tables()[1];
    std::string selected = "id + ?1, ?2";
    for (std::size_t index = 2; index < files.columns.size(); ++index) {
        selected.append(", ").append(Quoted(ColumnName(files.columns[index])));
    }
    return "INSERT INTO main.files (" + ColumnList(files) + ") SELECT " + selected +
           " FROM temp.files ORDER BY id";
}

// Their strings and nested signatures, the files' ids moved alike (?1).
constexpr const char* kCopyPendingStrings =
    "INSERT INTO main.strings (file_id, name, value) SELECT file_id + ?1, name, value FROM "
    "temp.strings ORDER BY rowid";
constexpr const char* kCopyPendingNested =
    "INSERT INTO main.nested_signatures SELECT file_id + ?1, position, status, digest_algorithm, "
    "signer, signer_subject, issuer, serial, thumbprint, program_name, signing_time FROM "
    "temp.nested_signatures ORDER BY rowid";

std::string DirectoriesAsJson(const std::vector<std::string>& directories) {
    std::string text = "[";
    for (const std::string& directory : directories) {
        text.append(text.size() > 1 ? "," : "").append(JsonPathText(directory));
    }
    return text + "]";
}

// The output's name as SQLite takes it: a file name, never a URI ("file:...") nor the in-memory
// database (":memory:").
std::string AsFileName(const std::string& path) {
    return path.starts_with('/') ? path : "./" + path;
}

// One prepared statement, its values bound in order from 1.
class Statement {
  public:
    Statement(sqlite3* database, const std::string& sql) {
        sqlite3_prepare_v2(database, sql.c_str(), -1, &statement, nullptr);
    }
    ~Statement() { sqlite3_finalize(statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Prepared() const { return statement != nullptr; }
    void Text(const std::string* text) {
        if (text == nullptr) {
            sqlite3_bind_null(statement, ++bound);
        } else {
            sqlite3_bind_text(statement, ++bound, text->data(), static_cast<int>(text->size()),
                              SQLITE_TRANSIENT);
        }
    }
    void Text(const std::optional<std::string>& text) { Text(text ? &*text : nullptr); }
    void Text(const char* text) {
        Text(text != nullptr ? std::optional<std::string>(text) : std::nullopt);
    }
    void Integer(std::optional<std::int64_t> value) {
        if (value) {
            sqlite3_bind_int64(statement, ++bound, *value);
        } else {
            sqlite3_bind_null(statement, ++bound);
        }
    }
    // Runs a query, handing each row to use; false when it fails.
    template <typename Use>
    bool Rows(const Use& use) {
        int result = SQLITE_ROW;
        while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
            use(statement);
        }
        sqlite3_reset(statement);
        return result == SQLITE_DONE;
    }
    // Runs the statement and makes it ready for the next values.
    bool Run() {
        const int result = sqlite3_step(statement);
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        bound = 0;
        return result == SQLITE_DONE;
    }

  private:
    sqlite3_stmt* statement = nullptr;
    int bound = 0;
};

// The primary signature's values, catalog and the count of nested signatures as numbers.
void WriteSignatureColumns(Statement& file, const InventoryRecord& record) {
    const auto values = SignatureFieldValues(record);
    for (std::size_t index = 0; index < values.size(); ++index) {
        const std::string_view name = kSignatureFieldNames[index];
        if (name == "catalog") {
            file.Integer(record.signature
                             ? std::optional<std::int64_t>(record.signature->catalog ? 1 : 0)
                             : std::nullopt);
        } else if (name == "nested_signatures") {
            file.Integer(record.signature ? std::optional<std::int64_t>(static_cast<std::int64_t>(
                                                record.signature->nested.size()))
                                          : std::nullopt);
        } else {
            file.Text(values[index]);
        }
    }
}

class SqliteWriter : public RecordWriter {
  public:
    SqliteWriter(std::string path, bool append) : path(std::move(path)), append(append) {}
    ~SqliteWriter() override {
        fileInsert.reset();
        stringInsert.reset();
        nestedInsert.reset();
        if (database != nullptr) {
            sqlite3_close(database);  // an unfinished run's transaction is rolled back
        }
    }

    // The database is opened and checked, and the run's records are held apart from it, before
    // the walk: a file that is no database, or one whose tables differ, costs no walk.
    bool Begin(const ScanInfo& /*scan*/) override {
        if (sqlite3_open_v2(AsFileName(path).c_str(), &database,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            return Failed();
        }
        sqlite3_busy_timeout(database, kLockWaitMilliseconds);
        // Readers never hold up a commit, and a commit that fails leaves nothing a reader must
        // roll back.
        if (!Execute("PRAGMA journal_mode = WAL;") || !TablesAreThisVersions() ||
            !Execute("BEGIN;" + CreatePendingTables())) {
            return false;
        }
        fileInsert = std::make_unique<Statement>(database, InsertFile());
        stringInsert = std::make_unique<Statement>(
            database, "INSERT INTO temp.strings (file_id, name, value) VALUES (?, ?, ?)");
        nestedInsert = std::make_unique<Statement>(
            database,
            "INSERT INTO temp.nested_signatures VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        return fileInsert->Prepared() && stringInsert->Prepared() && nestedInsert->Prepared()
                   ? true
                   : Failed();
    }

    bool Write(const ScanInfo& scan, const InventoryRecord& record) override {
        Statement& file = *fileInsert;
        file.Integer(std::nullopt);  // the scan's id, known when the records are copied in
        file.Integer(kRecordSchema);
        file.Text(scan.host);
        file.Text(scan.started);
        file.Text(record.path);
        file.Integer(record.size
                         ? std::optional<std::int64_t>(static_cast<std::int64_t>(*record.size))
                         : std::nullopt);
        file.Text(record.modified);
        file.Text(record.format);
        file.Text(record.machine);
        file.Integer(record.managed ? std::optional<std::int64_t>(*record.managed ? 1 : 0)
                                    : std::nullopt);
        file.Text(record.fileVersion);
        file.Text(record.productVersion);
        file.Text(FlagsAsText(record.fileFlags));
        file.Text(record.fileType);
        file.Text(record.language);
        file.Text(record.codePage);
        for (std::string_view name : kStandardStringNames) {
            file.Text(StandardString(record, name));
        }
        file.Text(record.sha256);
        file.Text(record.error);
        file.Text(record.image);
        file.Text(record.partition);
        file.Integer(record.deleted ? 1 : 0);
        for (const std::optional<std::string>* value : BuildFieldValues(record)) {
            file.Text(*value);
        }
        WriteSignatureColumns(file, record);
        if (!file.Run()) {
            return Failed();
        }
        const std::int64_t fileId = sqlite3_last_insert_rowid(database);
        return (!record.strings || WriteStrings(fileId, *record.strings)) &&
               (!record.signature || WriteNested(fileId, record.signature->nested));
    }

    bool Finish(const ScanInfo& scan) override {
        fileInsert.reset();
        stringInsert.reset();
        nestedInsert.reset();
        if (!Execute("COMMIT; BEGIN IMMEDIATE;") || !ReplaceTablesUnlessAppending()) {
            return false;
        }
        Statement scanInsert(database,
                             "INSERT INTO main.scans (host, started, finished, directories, "
                             "tool_version, schema) VALUES (?, ?, ?, ?, ?, ?)");
        scanInsert.Text(scan.host);
        scanInsert.Text(scan.started);
        scanInsert.Text(scan.finished);
        scanInsert.Text(DirectoriesAsJson(scan.directories));
        scanInsert.Text(scan.toolVersion);
        scanInsert.Integer(kRecordSchema);
        if (!scanInsert.Prepared() || !scanInsert.Run()) {
            return Failed();
        }
        const std::int64_t scanId = sqlite3_last_insert_rowid(database);
        std::int64_t lastFileId = 0;
        Statement lastFile(database, "SELECT ifnull(max(id), 0) FROM main.files");
        if (!lastFile.Prepared() ||
            !lastFile.Rows([&](sqlite3_stmt* row) { lastFileId = sqlite3_column_int64(row, 0); })) {
            return Failed();
        }
        Statement files(database, CopyPendingFiles());
        files.Integer(lastFileId);
        files.Integer(scanId);
        Statement strings(database, kCopyPendingStrings);
        strings.Integer(lastFileId);
        Statement nested(database, kCopyPendingNested);
        nested.Integer(lastFileId);
        if (!files.Prepared() || !strings.Prepared() || !nested.Prepared() || !files.Run() ||
            !strings.Run() || !nested.Run()) {
            return Failed();
        }
        return Execute("COMMIT;");
    }

    std::string Problem() const override { return "cannot write the output: " + problem; }

  private:
    // With append, the tables there must be the ones this version writes (or none yet); else
    // the file must at least be a database.
    bool TablesAreThisVersions() {
        for (const Table& table : Tables()) {
            std::vector<std::string> found;
            Statement columns(database, "SELECT name FROM pragma_table_info(?)");
            columns.Text(std::string(table.name));
            if (!columns.Prepared() || !columns.Rows([&](sqlite3_stmt* row) {
                    found.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(row, 0)));
                })) {
                return Failed();
            }
            if (append && !found.empty()) {
                if (const std::string difference = ColumnDifference(table, found);
                    !difference.empty()) {
                    problem = "the database's table " + std::string(table.name) +
                              " is not the one this version writes: " + difference;
                    return false;
                }
            }
        }
        return true;
    }

    static std::string ColumnDifference(const Table& table, const std::vector<std::string>& found) {
        std::vector<std::string> written;
        std::transform(table.columns.begin(), table.columns.end(), std::back_inserter(written),
                       ColumnName);
        const std::optional<std::size_t> index = FirstDifferingColumn(found, written);
        if (!index) {
            return {};
        }
        if (*index >= found.size()) {
            return "it has no column " + written[*index];
        }
        if (*index >= written.size()) {
            return "it has a column " + found[*index] + " that this version does not write";
        }
        return "its column " + std::to_string(*index + 1) + " is " + found[*index] +
               " where this version writes " + written[*index];
    }

    bool ReplaceTablesUnlessAppending() {
        std::string sql = append ? ""
                                 : "DROP TABLE IF EXISTS main.nested_signatures; DROP TABLE IF "
                                   "EXISTS main.strings; DROP TABLE IF EXISTS main.files; DROP "
                                   "TABLE IF EXISTS main.scans;";
        for (const Table& table : Tables()) {
            sql += CreateTable(table, "main");
        }
        return Execute(sql);
    }

    bool WriteStrings(std::int64_t fileId, const std::vector<NamedString>& strings) {
        for (const NamedString& named : strings) {
            stringInsert->Integer(fileId);
            stringInsert->Text(named.name);
            stringInsert->Text(named.value);
            if (!stringInsert->Run()) {
                return Failed();
            }
        }
        return true;
    }
    // Each nested signature's values, numbered from 1 in the signature's order.
    bool WriteNested(std::int64_t fileId, const std::vector<SignatureRecord>& nested) {
        for (std::size_t index = 0; index < nested.size(); ++index) {
            const SignatureRecord& signature = nested[index];
            nestedInsert->Integer(fileId);
            nestedInsert->Integer(static_cast<std::int64_t>(index + 1));
            nestedInsert->Text(signature.status);
            for (const auto* value :
                 {&signature.digestAlgorithm, &signature.signer, &signature.signerSubject,
                  &signature.issuer, &signature.serial, &signature.thumbprint,
                  &signature.programName, &signature.signingTime}) {
                nestedInsert->Text(*value);
            }
            if (!nestedInsert->Run()) {
                return Failed();
            }
        }
        return true;
    }
    bool Execute(const std::string& sql) {
        return sqlite3_exec(database, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK
                   ? true
                   : Failed();
    }
    bool Failed() {
        if (problem.empty()) {
            problem = database != nullptr ? sqlite3_errmsg(database) : "cannot open the database";
        }
        return false;
    }

    std::string path;
    bool append;
    sqlite3* database = nullptr;
    std::unique_ptr<Statement> fileInsert;
    std::unique_ptr<Statement> stringInsert;
    std::unique_ptr<Statement> nestedInsert;
    std::string problem;
};

}  // namespace

std::unique_ptr<RecordWriter> MakeSqliteWriter(const std::string& path, bool append) {
    return std::make_unique<SqliteWriter>(path, append);
}

#else

std::unique_ptr<RecordWriter> MakeSqliteWriter(const std::string& /*path*/, bool /*append*/) {
    return nullptr;
}

#endif
