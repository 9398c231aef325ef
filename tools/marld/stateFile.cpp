#include "stateFile.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <optional>
#include <unordered_set>

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

// Version 2: each point's last Journal::kDepth changes.
constexpr const char* kCreateHistory =
    "CREATE TABLE history("
    " name BLOB NOT NULL,"
    " sequence INTEGER NOT NULL,"         // 1 for the point's first change
    " at_ns INTEGER NOT NULL,"
    " is_set INTEGER NOT NULL,"
    " runtime_info BLOB,"
    " PRIMARY KEY(name, sequence)"
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
    const std::string create = "BEGIN EXCLUSIVE;" + std::string(kCreateSchema) + ";" + kCreateHistory +
                               ";PRAGMA application_id=" + std::to_string(kApplicationId) +
                               ";PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";COMMIT";
    const std::string fromVersion1 = "BEGIN EXCLUSIVE;" + std::string(kCreateHistory) + ";PRAGMA user_version=2;COMMIT";
    if ((verdict == Verdict::create && sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) ||
        (verdict == Verdict::usable && *version == 1 &&
         sqlite3_exec(db, fromVersion1.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) ||
        sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) !=
            SQLITE_OK ||
        sqlite3_exec(db, "BEGIN EXCLUSIVE; COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = isLockStatus(sqlite3_extended_errcode(db)) ? file + " is in use by another marld"
                                                            : state->failure("cannot be set up");
        return nullptr;
    }
    if (sqlite3_prepare_v2(db,
                           "INSERT OR REPLACE INTO points(name, update_count, is_set, last_change_ns, runtime_info)"
                           " VALUES(?, ?, ?, ?, ?)",
                           -1, &state->upsert_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db,
                           "INSERT OR REPLACE INTO history(name, sequence, is_set, at_ns, runtime_info)"
                           " VALUES(?, ?, ?, ?, ?)",
                           -1, &state->addChange_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, "DELETE FROM history WHERE name = ? AND sequence = ?", -1, &state->forgetChange_,
                           nullptr) != SQLITE_OK) {
        error = file + " is damaged (its points table is not as marld writes it: " + sqlite3_errmsg(db) + ")";
        return nullptr;
    }
    return state;
}

StateFile::~StateFile()
{
    sqlite3_finalize(upsert_);
    sqlite3_finalize(addChange_);
    sqlite3_finalize(forgetChange_);
    // Checkpoints the write-ahead log into the file and removes it.
    sqlite3_close(db_);
}

std::string StateFile::failure(const char* what) const
{
    return "the state file " + path_ + " " + what + ": " + sqlite3_errmsg(db_);
}

namespace {

std::string_view blobText(sqlite3_stmt* row, int column)
{
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(row, column));
    return {bytes != nullptr ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(row, column))};
}

// The columns a point row and a history row share: is_set, a time and
// runtime_info, at `first` on. False when they do not read back.
bool readState(sqlite3_stmt* row, int first, bool& isSet, WallClock::time_point& at,
               std::shared_ptr<const RuntimeInfo>& info)
{
    const long long set = sqlite3_column_int64(row, first);
    at = WallClock::time_point(std::chrono::nanoseconds(sqlite3_column_int64(row, first + 1)));
    isSet = set == 1;
    if (sqlite3_column_type(row, first + 2) != SQLITE_NULL) {
        const std::string_view block = blobText(row, first + 2);
        auto decoded = decodeRuntimeInfo(reinterpret_cast<const std::uint8_t*>(block.data()), block.size());
        if (!decoded) {
            return false;
        }
        info = std::make_shared<const RuntimeInfo>(std::move(*decoded));
    }
    return set == 0 || set == 1;
}

void bindState(sqlite3_stmt* statement, int first, bool isSet, WallClock::time_point at, const RuntimeInfo* info,
               std::vector<std::uint8_t>& block)
{
    sqlite3_bind_int(statement, first, isSet ? 1 : 0);
    sqlite3_bind_int64(statement, first + 1,
                       std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count());
    if (info != nullptr) {
        block = encodeRuntimeInfo(*info);
        sqlite3_bind_blob(statement, first + 2, block.data(), static_cast<int>(block.size()), SQLITE_STATIC);
    } else {
        sqlite3_bind_null(statement, first + 2);
    }
}

} // namespace

bool StateFile::load(PointStore& store, Journal& journal, std::string& error)
{
    const auto damaged = [&](std::string_view what, std::string_view name) {
        error = "the state file " + path_ + " is damaged (a " + std::string(what) + " row of point \"" +
                std::string(name) + "\" does not read back)";
        return false;
    };
    Statement points(db_, "SELECT name, update_count, is_set, last_change_ns, runtime_info FROM points");
    Statement changes(db_, "SELECT name, sequence, is_set, at_ns, runtime_info FROM history ORDER BY name, sequence");
    if (points.status() != SQLITE_OK || changes.status() != SQLITE_OK) {
        error = failure("cannot be read");
        return false;
    }
    int status;
    while ((status = sqlite3_step(points.get())) == SQLITE_ROW) {
        const std::string_view name = blobText(points.get(), 0);
        PointState state;
        state.updateCount = static_cast<std::uint64_t>(sqlite3_column_int64(points.get(), 1));
        if (!readState(points.get(), 2, state.isSet, state.lastChange, state.runtimeInfo) ||
            sqlite3_column_int64(points.get(), 1) < 1) {
            return damaged("points", name);
        }
        if (!store.restore(name, std::move(state))) {
            error = "the state file " + path_ + " holds more points than --max-points allows (" +
                    std::to_string(store.size()) + ")";
            return false;
        }
    }
    if (status != SQLITE_DONE) {
        error = failure("cannot be read");
        return false;
    }
    while ((status = sqlite3_step(changes.get())) == SQLITE_ROW) {
        const std::string_view name = blobText(changes.get(), 0);
        StateChange change;
        if (!readState(changes.get(), 2, change.isSet, change.at, change.runtimeInfo) ||
            sqlite3_column_int64(changes.get(), 1) < 1) {
            return damaged("history", name);
        }
        journal.restore(name, static_cast<std::uint64_t>(sqlite3_column_int64(changes.get(), 1)), std::move(change));
    }
    if (status != SQLITE_DONE) {
        error = failure("cannot be read");
        return false;
    }
    return true;
}

bool StateFile::save(const JournalBatch& batch, std::string& error)
{
    if (batch.empty()) {
        return true;
    }
    int status = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK ? SQLITE_DONE : SQLITE_ERROR;
    std::vector<std::uint8_t> block;
    // Runs one statement; after a failure, nothing more.
    const auto run = [&](sqlite3_stmt* statement) {
        if (status == SQLITE_DONE) {
            status = sqlite3_step(statement);
        }
        sqlite3_reset(statement);
    };
    const auto bindName = [](sqlite3_stmt* statement, std::string_view name) {
        sqlite3_bind_blob(statement, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    };
    // Each point once, as the last of its updates left it.
    std::unordered_set<std::string_view> written;
    for (auto entry = batch.rbegin(); entry != batch.rend() && status == SQLITE_DONE; ++entry) {
        if (written.insert(entry->name).second) {
            bindName(upsert_, entry->name);
            sqlite3_bind_int64(upsert_, 2, static_cast<sqlite3_int64>(entry->point.updateCount));
            bindState(upsert_, 3, entry->point.isSet, entry->point.lastChange, entry->point.runtimeInfo.get(), block);
            run(upsert_);
        }
    }
    for (const JournalEntry& entry : batch) {
        if (entry.change == 0) {
            continue;
        }
        const auto change = static_cast<sqlite3_int64>(entry.change);
        bindName(addChange_, entry.name);
        sqlite3_bind_int64(addChange_, 2, change);
        bindState(addChange_, 3, entry.point.isSet, entry.point.lastChange, entry.point.runtimeInfo.get(), block);
        run(addChange_);
        if (entry.change > Journal::kDepth) { // the change that falls out of the ring
            bindName(forgetChange_, entry.name);
            sqlite3_bind_int64(forgetChange_, 2, change - static_cast<sqlite3_int64>(Journal::kDepth));
            run(forgetChange_);
        }
    }
    if (status == SQLITE_DONE && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
        return true;
    }
    error = failure("cannot be written");
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

StateWriter::StateWriter(std::unique_ptr<StateFile> file) : file_(std::move(file)), thread_([this] { run(); }) {}

StateWriter::~StateWriter()
{
    {
        const std::lock_guard hold(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void StateWriter::hand(JournalBatch batch)
{
    if (batch.empty()) {
        return;
    }
    {
        const std::lock_guard hold(mutex_);
        handed_.push_back(std::move(batch));
    }
    wake_.notify_one();
}

void StateWriter::run()
{
    for (;;) {
        JournalBatch batch;
        {
            std::unique_lock hold(mutex_);
            wake_.wait(hold, [this] { return stopping_ || !handed_.empty(); });
            if (handed_.empty()) {
                return; // stopping, and all written
            }
            batch = std::move(handed_.front());
            handed_.pop_front();
        }
        std::string error;
        if (!file_->save(batch, error)) {
            std::fprintf(stderr, "marld: %s\n", error.c_str());
        }
    }
}

} // namespace marld
