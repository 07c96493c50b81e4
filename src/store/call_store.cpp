#include "call_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

namespace quorvel::store {

namespace {

// Each step takes the file from version i to i + 1; a file is brought forward
// through every step it has not had, in one transaction.
const char* const kMigrations[] = {
    // 0 -> 1: the table of calls and what the web looks them up by.
    "CREATE TABLE calls ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"  // AUTOINCREMENT: an id is never handed out twice
    " time TEXT NOT NULL,"
    " \"offset\" REAL NOT NULL,"
    " source TEXT NOT NULL,"
    " protocol TEXT NOT NULL,"
    " address TEXT NOT NULL,"
    " subaddress TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " text TEXT NOT NULL,"
    " json TEXT NOT NULL);"
    "CREATE INDEX calls_time ON calls(time);"
    "CREATE INDEX calls_protocol_address ON calls(protocol, address);",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

// How long one statement waits for a lock before SQLite gives up on it; Add
// tries again after that until its own limit.
constexpr int kBusyTimeoutMs = 2000;

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool Ok() const { return rc_ == SQLITE_OK; }
    int PrepareCode() const { return rc_; }
    sqlite3_stmt* get() const { return stmt_; }
    void Bind(int i, const std::string& s) { sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT); }
    void Bind(int i, double d) { sqlite3_bind_double(stmt_, i, d); }
    void Bind(int i, std::int64_t n) { sqlite3_bind_int64(stmt_, i, n); }
    std::string Text(int i) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
        return p == nullptr ? std::string() : std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)));
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_;
};

bool IsBusy(int rc) { return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED; }

// The reason a file cannot be used, in words.
std::string Reason(sqlite3* db, int rc) {
    switch (rc & 0xFF) {
    case SQLITE_NOTADB: return "not an SQLite database";
    case SQLITE_READONLY: return "cannot be written (no write permission on the file or its folder)";
    case SQLITE_CANTOPEN: return "cannot be opened (check the permissions of the file and its folder)";
    case SQLITE_PERM:
    case SQLITE_AUTH: return "access denied";
    case SQLITE_CORRUPT: return "damaged (not a sound database)";
    case SQLITE_FULL: return "the disk is full";
    default: return db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    }
}

bool Exec(sqlite3* db, const char* sql, int& rc) {
    rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK;
}

// Reads `user_version`; SQLite first reads the file here, so this is where a
// file that is no database shows.
bool UserVersion(sqlite3* db, int& version, int& rc) {
    Statement s(db, "PRAGMA user_version");
    if (!s.Ok()) {
        rc = s.PrepareCode();
        return false;
    }
    rc = sqlite3_step(s.get());
    if (rc != SQLITE_ROW) return false;
    version = sqlite3_column_int(s.get(), 0);
    rc = SQLITE_OK;
    return true;
}

}  // namespace

std::string CallStore::Problem(const char* what) const {
    return path_ + ": " + what + ": " + sqlite3_errmsg(db_);
}

std::unique_ptr<CallStore> CallStore::Open(const std::string& path, Mode mode, std::string& error) {
    namespace fs = std::filesystem;
    if (path.empty()) {
        error = "no database file given";
        return nullptr;
    }
    std::error_code ec;
    const fs::path p(path);
    const fs::path folder = p.parent_path();
    if (!folder.empty() && !fs::is_directory(folder, ec)) {
        error = path + ": the folder " + folder.string() + " does not exist";
        return nullptr;
    }
    if (fs::is_directory(p, ec)) {
        error = path + ": is a folder, not a database file";
        return nullptr;
    }
    const bool exists = fs::exists(p, ec);
    if (mode == Mode::Read && !exists) {
        error = path + ": does not exist (quorvel-decode --db creates it)";
        return nullptr;
    }
    sqlite3* db = nullptr;
    const int flags = mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
    std::unique_ptr<CallStore> store(new CallStore(db, path));
    auto fail = [&](int code) {
        error = path + ": " + Reason(db, code);
        return nullptr;
    };
    if (rc != SQLITE_OK) return fail(rc);
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    int version = 0;
    if (!UserVersion(db, version, rc)) return fail(rc);
    if (version > kSchemaVersion) {
        error = path + ": written by a newer Quorvel (schema version " + std::to_string(version) + ", this one knows " +
                std::to_string(kSchemaVersion) + ")";
        return nullptr;
    }
    if (mode == Mode::Read) {
        if (version == 0) {
            error = path + ": holds no call history (not written by quorvel-decode --db)";
            return nullptr;
        }
        if (version < kSchemaVersion) {
            error = path + ": an older call history: run quorvel-decode --db on it once to bring it forward";
            return nullptr;
        }
        return store;
    }
    // SQLite falls back to reading when the file is write-protected: say so now,
    // before any decoding, not at the first call.
    if (sqlite3_db_readonly(db, "main") == 1) return fail(SQLITE_READONLY);
    if (!Exec(db, "PRAGMA journal_mode=WAL", rc)) return fail(rc);
    if (!Exec(db, "PRAGMA synchronous=NORMAL", rc)) return fail(rc);
    if (version == kSchemaVersion) {
        // Nothing to bring forward, so no lock to wait for (another writer may
        // hold it): the folder must take the -wal and -shm files.
        const std::string dir = folder.empty() ? "." : folder.string();
        if (::access(dir.c_str(), W_OK) != 0) return fail(SQLITE_READONLY);
        return store;
    }
    // BEGIN IMMEDIATE takes the write lock: it proves the file and its folder
    // (for the -wal and -shm files) can be written, and two writers creating one
    // file at once migrate it one after the other.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(store->lockWaitSeconds);
    while (!Exec(db, "BEGIN IMMEDIATE", rc)) {
        if (!IsBusy(rc) || std::chrono::steady_clock::now() > deadline) return fail(rc);
    }
    if (!UserVersion(db, version, rc)) {
        Exec(db, "ROLLBACK", rc);
        return fail(rc);
    }
    for (int v = version; v < kSchemaVersion; ++v) {
        if (!Exec(db, kMigrations[v], rc)) {
            error = store->Problem("cannot bring the schema forward");
            Exec(db, "ROLLBACK", rc);
            return nullptr;
        }
    }
    const std::string setVersion = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
    if (version < kSchemaVersion && !Exec(db, setVersion.c_str(), rc)) {
        Exec(db, "ROLLBACK", rc);
        return fail(rc);
    }
    while (!Exec(db, "COMMIT", rc)) {
        if (!IsBusy(rc) || std::chrono::steady_clock::now() > deadline) {
            Exec(db, "ROLLBACK", rc);
            return fail(rc);
        }
    }
    return store;
}

CallStore::~CallStore() { sqlite3_close_v2(db_); }

bool CallStore::Add(const StoredCall& c, std::string& error) {
    Statement s(db_,
                "INSERT INTO calls (time, \"offset\", source, protocol, address, subaddress, name, text, json)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!s.Ok()) {
        error = Problem("cannot add a call");
        return false;
    }
    s.Bind(1, c.time);
    s.Bind(2, c.offset);
    s.Bind(3, c.source);
    s.Bind(4, c.protocol);
    s.Bind(5, c.address);
    s.Bind(6, c.subaddress);
    s.Bind(7, c.name);
    s.Bind(8, c.text);
    s.Bind(9, c.json);
    // One statement is one transaction: committed whole or not at all. Another
    // writer's lock is waited out (the busy timeout inside SQLite, then again
    // here) until the limit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(lockWaitSeconds);
    for (;;) {
        const int rc = sqlite3_step(s.get());
        if (rc == SQLITE_DONE) break;
        sqlite3_reset(s.get());
        if (!IsBusy(rc) || std::chrono::steady_clock::now() > deadline) {
            error = path_ + ": cannot add a call: " + Reason(db_, rc);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    lastId_ = sqlite3_last_insert_rowid(db_);
    return true;
}

bool CallStore::Query(const CallQuery& query, std::vector<CallRow>& rows, std::string& error, bool ascending) {
    std::string sql = "SELECT id, time, \"offset\", source, protocol, address, subaddress, name, text, json FROM calls WHERE 1";
    if (!query.protocol.empty()) sql += " AND protocol = :protocol";
    if (!query.address.empty()) sql += " AND address = :address";
    if (!query.q.empty())
        sql += " AND (address LIKE :q ESCAPE '\\' OR name LIKE :q ESCAPE '\\' OR text LIKE :q ESCAPE '\\')";
    if (query.sinceId > 0) sql += " AND id > :since";
    if (query.beforeId > 0) sql += " AND id < :before";
    sql += ascending ? " ORDER BY id ASC LIMIT :limit" : " ORDER BY id DESC LIMIT :limit";
    Statement s(db_, sql.c_str());
    if (!s.Ok()) {
        error = Problem("cannot read the calls");
        return false;
    }
    auto at = [&](const char* name) { return sqlite3_bind_parameter_index(s.get(), name); };
    if (!query.protocol.empty()) s.Bind(at(":protocol"), query.protocol);
    if (!query.address.empty()) s.Bind(at(":address"), query.address);
    if (!query.q.empty()) {
        // A substring, whatever it holds: LIKE's own wildcards are escaped.
        std::string pattern = "%";
        for (char ch : query.q) {
            if (ch == '%' || ch == '_' || ch == '\\') pattern += '\\';
            pattern += ch;
        }
        s.Bind(at(":q"), pattern + "%");
    }
    if (query.sinceId > 0) s.Bind(at(":since"), query.sinceId);
    if (query.beforeId > 0) s.Bind(at(":before"), query.beforeId);
    const int limit = query.limit <= 0 ? CallQuery::kDefaultLimit : std::min(query.limit, CallQuery::kMaxLimit);
    s.Bind(at(":limit"), static_cast<std::int64_t>(limit));
    rows.clear();
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        CallRow r;
        r.id = sqlite3_column_int64(s.get(), 0);
        r.call.time = s.Text(1);
        r.call.offset = sqlite3_column_double(s.get(), 2);
        r.call.source = s.Text(3);
        r.call.protocol = s.Text(4);
        r.call.address = s.Text(5);
        r.call.subaddress = s.Text(6);
        r.call.name = s.Text(7);
        r.call.text = s.Text(8);
        r.call.json = s.Text(9);
        rows.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) {
        error = path_ + ": cannot read the calls: " + Reason(db_, rc);
        return false;
    }
    return true;
}

bool CallStore::MaxId(std::int64_t& id, std::string& error) {
    Statement s(db_, "SELECT coalesce(max(id), 0) FROM calls");
    if (!s.Ok()) {
        error = Problem("cannot read the calls");
        return false;
    }
    const int rc = sqlite3_step(s.get());
    if (rc != SQLITE_ROW) {
        error = path_ + ": cannot read the calls: " + Reason(db_, rc);
        return false;
    }
    id = sqlite3_column_int64(s.get(), 0);
    return true;
}

}  // namespace quorvel::store
