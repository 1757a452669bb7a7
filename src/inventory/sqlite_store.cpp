// The records in a SQLite database: one row in scans for each run, one in files for each record
// (with the twelve standard strings as columns), one in strings for every string. A run is one
// transaction, so that a run cut short leaves the database as it was before it.

#include "inventory/writers.h"

#if defined(QUILLET_HAVE_SQLITE)

#include <sqlite3.h>

#include <algorithm>

namespace {

constexpr const char* kDropTables =
    "DROP TABLE IF EXISTS strings; DROP TABLE IF EXISTS files; DROP TABLE IF EXISTS scans;";

std::string CreateTables() {
    std::string sql =
        "CREATE TABLE IF NOT EXISTS scans (id INTEGER PRIMARY KEY, host TEXT, started TEXT, "
        "finished TEXT, directories TEXT, tool_version TEXT, schema INTEGER);"
        "CREATE TABLE IF NOT EXISTS files (id INTEGER PRIMARY KEY, scan_id INTEGER NOT NULL "
        "REFERENCES scans(id), schema INTEGER, host TEXT, scan_started TEXT, path TEXT, "
        "size INTEGER, modified TEXT, format TEXT, machine TEXT, managed INTEGER, "
        "file_version TEXT, product_version TEXT, file_flags TEXT, file_type TEXT, "
        "language TEXT, code_page TEXT";
    for (std::string_view name : kStandardStringNames) {
        sql.append(", \"").append(name).append("\" TEXT");
    }
    sql.append(
        ", sha256 TEXT, error TEXT);"
        "CREATE TABLE IF NOT EXISTS strings (file_id INTEGER NOT NULL REFERENCES files(id), "
        "name TEXT, value TEXT);");
    return sql;
}

// The files table's columns, each with its value's place, in the order Write binds them.
std::string InsertFile() {
    std::string columns = "scan_id";
    std::string values = "?";
    const auto add = [&](std::string_view name) {
        columns.append(", \"").append(name).append("\"");
        values.append(", ?");
    };
    std::for_each(kLeadingFieldNames.begin(), kLeadingFieldNames.end(), add);
    std::for_each(kStandardStringNames.begin(), kStandardStringNames.end(), add);
    add("sha256");
    add("error");
    return "INSERT INTO files (" + columns + ") VALUES (" + values + ")";
}

std::string DirectoriesAsJson(const std::vector<std::string>& directories) {
    std::string text = "[";
    for (const std::string& directory : directories) {
        text.append(text.size() > 1 ? "," : "").append(JsonPathText(directory));
    }
    return text + "]";
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

class SqliteWriter : public RecordWriter {
  public:
    SqliteWriter(std::string path, bool append) : path(std::move(path)), append(append) {}
    ~SqliteWriter() override {
        fileInsert.reset();
        stringInsert.reset();
        if (database != nullptr) {
            sqlite3_close(database);  // an unfinished run's transaction is rolled back
        }
    }

    bool Begin(const ScanInfo& scan) override {
        if (sqlite3_open(path.c_str(), &database) != SQLITE_OK) {
            return Failed();
        }
        const std::string setUp =
            std::string("BEGIN IMMEDIATE;") + (append ? "" : kDropTables) + CreateTables();
        if (!Execute(setUp)) {
            return false;
        }
        Statement scanInsert(database,
                             "INSERT INTO scans (host, started, directories, tool_version, schema) "
                             "VALUES (?, ?, ?, ?, ?)");
        if (!scanInsert.Prepared()) {
            return Failed();
        }
        scanInsert.Text(scan.host);
        scanInsert.Text(scan.started);
        scanInsert.Text(DirectoriesAsJson(scan.directories));
        scanInsert.Text(scan.toolVersion);
        scanInsert.Integer(kRecordSchema);
        if (!scanInsert.Run()) {
            return Failed();
        }
        scanId = sqlite3_last_insert_rowid(database);
        fileInsert = std::make_unique<Statement>(database, InsertFile());
        stringInsert = std::make_unique<Statement>(
            database, "INSERT INTO strings (file_id, name, value) VALUES (?, ?, ?)");
        return fileInsert->Prepared() && stringInsert->Prepared() ? true : Failed();
    }

    bool Write(const ScanInfo& scan, const InventoryRecord& record) override {
        Statement& file = *fileInsert;
        file.Integer(scanId);
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
        if (!file.Run()) {
            return Failed();
        }
        return !record.strings ||
               WriteStrings(sqlite3_last_insert_rowid(database), *record.strings);
    }

    bool Finish(const ScanInfo& scan) override {
        Statement finished(database, "UPDATE scans SET finished = ? WHERE id = ?");
        finished.Text(scan.finished);
        finished.Integer(scanId);
        return finished.Prepared() && finished.Run() ? Execute("COMMIT;") : Failed();
    }

    std::string Problem() const override { return problem; }

  private:
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
    std::int64_t scanId = 0;
    std::unique_ptr<Statement> fileInsert;
    std::unique_ptr<Statement> stringInsert;
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
