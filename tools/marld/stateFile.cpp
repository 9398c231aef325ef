#include "stateFile.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

namespace marld {

namespace {

// "MARL", in the database header's application_id: the mark that tells
// marld's files from every other SQLite database.
constexpr std::uint32_t kApplicationId = 0x4D41524C;

constexpr char kSqliteMagic[] = "SQLite format 3"; // and its NUL: the first 16 bytes of every database

constexpr const char* kCreateSchema =
    "CREATE TABLE points("
    " name BLOB PRIMARY KEY,"             // the name's bytes as they came, UTF-8 or not
    " is_set INTEGER NOT NULL,"           // 0 or 1
    " last_change_ns INTEGER NOT NULL,"   // nanoseconds since 1970, UTC
    " update_count INTEGER NOT NULL,"     // 1 or more
    " runtime_info BLOB"                  // the block of the latest extended update, or NULL
    ") WITHOUT ROWID";

enum class Verdict { usable, create, foreign, damaged };

// What the file's first 100 bytes (the database header) say, read before
// SQLite opens it, so that a file that is not marld's is refused untouched.
// An empty or absent file is a new one.
Verdict inspectHeader(const std::string& path, std::string& why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return errno == ENOENT ? Verdict::create : Verdict::foreign;
    }
    std::array<unsigned char, 100> header{};
    std::size_t got = 0;
    for (ssize_t n = 1; n > 0 && got < header.size(); got += n > 0 ? static_cast<std::size_t>(n) : 0) {
        n = ::read(fd, header.data() + got, header.size() - got);
    }
    ::close(fd);
    if (got == 0) {
        return Verdict::create;
    }
    if (got < sizeof kSqliteMagic || std::memcmp(header.data(), kSqliteMagic, sizeof kSqliteMagic) != 0) {
        return Verdict::foreign;
    }
    if (got < header.size()) {
        return Verdict::damaged;
    }
    const std::uint32_t id = std::uint32_t{header[68]} << 24 | std::uint32_t{header[69]} << 16 |
                             std::uint32_t{header[70]} << 8 | header[71];
    return id == kApplicationId ? Verdict::usable : Verdict::foreign;
}

// A prepared statement, finalized however the function that made it ends.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { status_ = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    [[nodiscard]] int status() const { return status_; }
    [[nodiscard]] sqlite3_stmt* get() const { return statement_; }

private:
    sqlite3_stmt* statement_ = nullptr;
    int status_;
};

std::optional<long long> pragmaValue(sqlite3* db, const char* sql, int& status)
{
    Statement pragma(db, sql);
    status = pragma.status();
    if (status != SQLITE_OK || (status = sqlite3_step(pragma.get())) != SQLITE_ROW) {
        return std::nullopt;
    }
    status = SQLITE_OK;
    return sqlite3_column_int64(pragma.get(), 0);
}

bool isLockStatus(int status)
{
    return (status & 0xFF) == SQLITE_BUSY || (status & 0xFF) == SQLITE_LOCKED;
}

} // namespace

std::unique_ptr<StateFile> StateFile::open(const std::string& path, std::string& error)
{
    std::string why;
    const Verdict verdict = inspectHeader(path, why);
    const std::string file = "the state file " + path;
    if (verdict == Verdict::foreign) {
        error = file + (why.empty() ? " is not a marld state file" : ": " + why);
        return nullptr;
    }
    if (verdict == Verdict::damaged) {
        error = file + " is damaged (its database header is cut short)";
        return nullptr;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = file + ": " + (db != nullptr ? sqlite3_errmsg(db) : "cannot be opened");
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<StateFile> state(new StateFile(db, path));
    // Held from the first read until marld ends: no other process, marld or
    // not, reads or writes the file meanwhile. The first read takes the lock,
    // so a file that another process holds fails there.
    int status = sqlite3_exec(db, "PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr, nullptr);
    const auto version = pragmaValue(db, "PRAGMA user_version", status);
    bool passesCheck = true;
    if (status == SQLITE_OK && verdict == Verdict::usable) {
        Statement check(db, "PRAGMA quick_check(1)");
        status = check.status() == SQLITE_OK ? sqlite3_step(check.get()) : check.status();
        const auto* result = status == SQLITE_ROW ? sqlite3_column_text(check.get(), 0) : nullptr;
        passesCheck = result != nullptr && std::strcmp(reinterpret_cast<const char*>(result), "ok") == 0;
        status = status == SQLITE_ROW ? SQLITE_OK : status;
    }
    if (isLockStatus(status)) {
        error = file + " is in use by another marld";
        return nullptr;
    }
    if (status != SQLITE_OK || !passesCheck) {
        error = file + " is damaged (" + (passesCheck ? sqlite3_errmsg(db) : "it fails SQLite's integrity check") +
                ")";
        return nullptr;
    }
    if (*version > kSchemaVersion) {
        error = file + " was written by a newer marld (schema " + std::to_string(*version) + "; this one reads " +
                std::to_string(kSchemaVersion) + " and older)";
        return nullptr;
    }
    // A new file gets its schema in the rollback journal's mode, so that its
    // mark is in the main file before anything goes to a write-ahead log.
    const std::string create = "BEGIN EXCLUSIVE;" + std::string(kCreateSchema) +
                               ";PRAGMA application_id=" + std::to_string(kApplicationId) +
                               ";PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";COMMIT";
    if ((verdict == Verdict::create && sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) ||
        sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) !=
            SQLITE_OK ||
        sqlite3_exec(db, "BEGIN EXCLUSIVE; COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = isLockStatus(sqlite3_extended_errcode(db)) ? file + " is in use by another marld"
                                                            : state->failure("cannot be set up");
        return nullptr;
    }
    if (sqlite3_prepare_v2(db,
                           "INSERT OR REPLACE INTO points(name, is_set, last_change_ns, update_count, runtime_info)"
                           " VALUES(?, ?, ?, ?, ?)",
                           -1, &state->upsert_, nullptr) != SQLITE_OK) {
        error = file + " is damaged (its points table is not as marld writes it: " + sqlite3_errmsg(db) + ")";
        return nullptr;
    }
    return state;
}

StateFile::~StateFile()
{
    sqlite3_finalize(upsert_);
    // Checkpoints the write-ahead log into the file and removes it.
    sqlite3_close(db_);
}

std::string StateFile::failure(const char* what) const
{
    return "the state file " + path_ + " " + what + ": " + sqlite3_errmsg(db_);
}

bool StateFile::load(PointStore& store, std::string& error)
{
    Statement rows(db_, "SELECT name, is_set, last_change_ns, update_count, runtime_info FROM points");
    if (rows.status() != SQLITE_OK) {
        error = failure("cannot be read");
        return false;
    }
    int status;
    while ((status = sqlite3_step(rows.get())) == SQLITE_ROW) {
        sqlite3_stmt* row = rows.get();
        const auto* name = static_cast<const char*>(sqlite3_column_blob(row, 0));
        const std::string_view point(name != nullptr ? name : "", static_cast<std::size_t>(sqlite3_column_bytes(row, 0)));
        const long long isSet = sqlite3_column_int64(row, 1);
        PointState state{isSet == 1, WallClock::time_point(std::chrono::nanoseconds(sqlite3_column_int64(row, 2))),
                         static_cast<std::uint64_t>(sqlite3_column_int64(row, 3)), nullptr};
        const bool hasInfo = sqlite3_column_type(row, 4) != SQLITE_NULL;
        std::optional<RuntimeInfo> info;
        if (hasInfo) {
            const auto* block = static_cast<const std::uint8_t*>(sqlite3_column_blob(row, 4));
            info = decodeRuntimeInfo(block, static_cast<std::size_t>(sqlite3_column_bytes(row, 4)));
            state.runtimeInfo = info ? std::make_unique<const RuntimeInfo>(std::move(*info)) : nullptr;
        }
        if ((isSet != 0 && isSet != 1) || sqlite3_column_int64(row, 3) < 1 || (hasInfo && !state.runtimeInfo)) {
            error = "the state file " + path_ + " is damaged (a row of point \"" + std::string(point) +
                    "\" does not read back)";
            return false;
        }
        if (!store.restore(point, std::move(state))) {
            error = "the state file " + path_ + " holds more points than --max-points " +
                    "allows (" + std::to_string(store.size()) + ")";
            return false;
        }
    }
    if (status != SQLITE_DONE) {
        error = failure("cannot be read");
        return false;
    }
    return true;
}

bool StateFile::save(PointStore& store, std::string& error)
{
    bool begun = false;
    int status = SQLITE_OK;
    std::vector<std::uint8_t> block;
    store.takeChanged([&](std::string_view name, const PointState& state) {
        if (status != SQLITE_OK && status != SQLITE_DONE) {
            return;
        }
        if (!begun) {
            begun = true;
            if ((status = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr)) != SQLITE_OK) {
                return;
            }
        }
        sqlite3_stmt* upsert = upsert_;
        sqlite3_reset(upsert);
        sqlite3_bind_blob(upsert, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
        sqlite3_bind_int(upsert, 2, state.isSet ? 1 : 0);
        sqlite3_bind_int64(upsert, 3,
                           std::chrono::duration_cast<std::chrono::nanoseconds>(state.lastChange.time_since_epoch())
                               .count());
        sqlite3_bind_int64(upsert, 4, static_cast<sqlite3_int64>(state.updateCount));
        if (state.runtimeInfo) {
            block = encodeRuntimeInfo(*state.runtimeInfo);
            sqlite3_bind_blob(upsert, 5, block.data(), static_cast<int>(block.size()), SQLITE_STATIC);
        } else {
            sqlite3_bind_null(upsert, 5);
        }
        status = sqlite3_step(upsert);
    });
    if (!begun) {
        return true;
    }
    if ((status == SQLITE_OK || status == SQLITE_DONE) &&
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
        return true;
    }
    error = failure("cannot be written");
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

} // namespace marld
