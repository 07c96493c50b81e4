// The call history: one SQLite file (WAL) with a table `calls`, written by any
// number of quorvel-decode processes (one per receiver) and read by
// quorvel-web. A row is committed on its own, so a writer killed at any moment
// leaves every committed row and a sound file; a writer that finds the file
// locked by another waits and tries again rather than dropping the row.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace quorvel::store {

// One call as it is kept. Texts are UTF-8.
struct StoredCall {
    std::string time;  // ISO 8601 with its UTC offset, as the JSON object's "time"
    double offset = 0.0;  // seconds into the input
    std::string source;  // the input file, the live device, or --label
    std::string protocol;
    std::string address;
    std::string subaddress;  // the POCSAG function, the FMS status, else empty
    std::string name;
    std::string text;
    std::string json;  // the object --format json writes
};

// A row read back: the call and its id (growing, never reused).
struct CallRow {
    std::int64_t id = 0;
    StoredCall call;
};

// What the web asks for. Empty strings and zero ids do not filter.
struct CallQuery {
    std::string protocol;
    std::string address;
    std::string q;  // a substring of address, name or text (ASCII letters in either case)
    std::int64_t sinceId = 0;   // only rows with a greater id
    std::int64_t beforeId = 0;  // only rows with a smaller id
    int limit = 200;
    static constexpr int kDefaultLimit = 200;
    static constexpr int kMaxLimit = 10000;
};

// The schema version this build writes into `user_version`.
inline constexpr int kSchemaVersion = 1;

class CallStore {
public:
    enum class Mode { Write, Read };

    // Opens (Write: creates when missing, migrates forward) the file. Null with a
    // message naming the file and the reason when it cannot be used: a missing
    // folder, a file that is not a database (or from a newer Quorvel), a file or
    // folder that cannot be written (Write), a missing file (Read).
    static std::unique_ptr<CallStore> Open(const std::string& path, Mode mode, std::string& error);
    ~CallStore();
    CallStore(const CallStore&) = delete;
    CallStore& operator=(const CallStore&) = delete;

    // Adds one row in a transaction of its own. While another connection holds
    // the lock it waits (busy timeout) and tries again, up to `lockWaitSeconds`
    // in all. False with `error` when the row could not be written.
    bool Add(const StoredCall& call, std::string& error);
    // The id of the last row added by this connection.
    std::int64_t LastId() const { return lastId_; }

    // Newest first (or, with `ascending`, oldest first: the stream's order).
    bool Query(const CallQuery& query, std::vector<CallRow>& rows, std::string& error, bool ascending = false);
    // The greatest id in the file, 0 when it has no rows.
    bool MaxId(std::int64_t& id, std::string& error);

    double lockWaitSeconds = 120.0;

private:
    CallStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    std::string Problem(const char* what) const;

    sqlite3* db_;
    std::string path_;
    std::int64_t lastId_ = 0;
};

}  // namespace quorvel::store
