#include "stateFile.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <unordered_set>

#include "byteStream.h"

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

// Version 3: whether a point's runtime_info came with its latest update. A
// file of an older version does not know: its points read as holding a block
// from an earlier update until their next one.
constexpr const char* kAddFromLastUpdate =
    "ALTER TABLE points ADD COLUMN runtime_info_from_last_update INTEGER NOT NULL DEFAULT 0";

enum class Verdict { usable, create, foreign, damaged };

// What the file's first 100 bytes (the database header) say, read before
// SQLite opens it, so that a file that is not marld's is refused untouched.
// An empty or absent file is a new one.
Verdict inspectHeader(const std::string& path, std::string& why)
{
    std::ifstream file(path, std::ios::binary);
    std::array<char, 100> header{};
    if (!file.read(header.data(), header.size()) && file.gcount() == 0) {
        why = file.is_open() || errno != ENOENT ? std::strerror(errno) : "";
        return file.is_open() || errno == ENOENT ? Verdict::create : Verdict::foreign;
    }
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got < sizeof kSqliteMagic || std::memcmp(header.data(), kSqliteMagic, sizeof kSqliteMagic) != 0) {
        return Verdict::foreign;
    }
    marl::ByteReader mark(reinterpret_cast<const std::uint8_t*>(header.data()) + 68, got - std::min<std::size_t>(got, 68));
    std::uint32_t id = 0;
    return got < header.size() ? Verdict::damaged : mark.getU32(id) && id == kApplicationId ? Verdict::usable : Verdict::foreign;
}

// The first column of the statement's first row as text, or nothing with
// `status` set to why not.
std::optional<std::string> firstValue(sqlite3* db, const char* sql, int& status)
{
    sqlite3_stmt* statement = nullptr;
    status = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    status = status == SQLITE_OK ? sqlite3_step(statement) : status;
    const auto* text = status == SQLITE_ROW ? sqlite3_column_text(statement, 0) : nullptr;
    std::optional<std::string> value;
    if (text != nullptr) {
        value = reinterpret_cast<const char*>(text);
        status = SQLITE_OK;
    }
    sqlite3_finalize(statement);
    return value;
}

bool isLockStatus(int status)
{
    return (status & 0xFF) == SQLITE_BUSY || (status & 0xFF) == SQLITE_LOCKED;
}

std::string_view blobText(sqlite3_stmt* row, int column)
{
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(row, column));
    return {bytes != nullptr ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(row, column))};
}

// The columns that a points row and a history row share, after the name:
// a count (update_count or sequence, kept in updateCount), is_set, a time,
// runtime_info and whether it came with the last update. False when they do not read back.
bool readRow(sqlite3_stmt* row, PointState& point)
{
    const long long set = sqlite3_column_int64(row, 2);
    point.updateCount = static_cast<std::uint64_t>(sqlite3_column_int64(row, 1));
    point.isSet = set == 1;
    point.runtimeInfoFromLastUpdate = sqlite3_column_int(row, 5) != 0;
    point.lastChange = WallClock::time_point(std::chrono::nanoseconds(sqlite3_column_int64(row, 3)));
    if (sqlite3_column_type(row, 4) != SQLITE_NULL) {
        const std::string_view block = blobText(row, 4);
        auto decoded = decodeRuntimeInfo(reinterpret_cast<const std::uint8_t*>(block.data()), block.size());
        if (!decoded) {
            return false;
        }
        point.runtimeInfo = std::make_shared<const RuntimeInfo>(std::move(*decoded));
    }
    return (set == 0 || set == 1) && sqlite3_column_int64(row, 1) >= 1;
}

// Binds the name, a count, is_set, a time and runtime_info, in that order.
void bindRow(sqlite3_stmt* statement, std::string_view name, std::uint64_t count, const PointState& point)
{
    const RuntimeInfo* info = point.runtimeInfo.get();
    sqlite3_bind_blob(statement, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(count));
    sqlite3_bind_int(statement, 3, point.isSet ? 1 : 0);
    sqlite3_bind_int64(statement, 4,
                       std::chrono::duration_cast<std::chrono::nanoseconds>(point.lastChange.time_since_epoch()).count());
    // Without a block, a null pointer: SQLite binds NULL.
    sqlite3_bind_blob(statement, 5, info != nullptr ? info->block.data() : nullptr,
                      info != nullptr ? static_cast<int>(info->block.size()) : 0, SQLITE_STATIC);
}

} // namespace

std::unique_ptr<StateFile> StateFile::open(const std::string& path, std::string& error)
{
    std::string why;
    const Verdict verdict = inspectHeader(path, why);
    const std::string file = "the state file " + path;
    if (verdict == Verdict::foreign || verdict == Verdict::damaged) {
        error = file + (!why.empty()                   ? ": " + why
                        : verdict == Verdict::foreign ? " is not a marld state file"
                                                      : " is damaged (its database header is cut short)");
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
    const long long version = std::stoll(firstValue(db, "PRAGMA user_version", status).value_or("0"));
    const auto check = status != SQLITE_OK || verdict != Verdict::usable
                           ? std::optional<std::string>("ok")
                           : firstValue(db, "PRAGMA quick_check(1)", status);
    if (isLockStatus(status)) {
        error = file + " is in use by another marld";
        return nullptr;
    }
    if (status != SQLITE_OK || check != "ok") {
        error = file + " is damaged (" + (check ? "it fails SQLite's integrity check" : sqlite3_errmsg(db)) + ")";
        return nullptr;
    }
    if (version > kSchemaVersion) {
        error = file + " was written by a newer marld (schema " + std::to_string(version) + "; this one reads " +
                std::to_string(kSchemaVersion) + " and older)";
        return nullptr;
    }
    // A new file is made as version 1 was and brought up to date as an old
    // one is, each version's step in turn, in one transaction; in the
    // rollback journal's mode, so that its mark is in the main file before
    // anything goes to a write-ahead log.
    const bool create = verdict == Verdict::create;
    std::string setUp = create || version < kSchemaVersion ? "BEGIN EXCLUSIVE;" : "";
    setUp += create ? std::string(kCreateSchema) + ";PRAGMA application_id=" + std::to_string(kApplicationId) + ";" : "";
    setUp += create || version < 2 ? std::string(kCreateHistory) + ";" : "";
    setUp += create || version < 3 ? std::string(kAddFromLastUpdate) + ";" : "";
    setUp += setUp.empty() ? "" : "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";COMMIT;";
    setUp += "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; BEGIN EXCLUSIVE; COMMIT";
    if (sqlite3_exec(db, setUp.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = isLockStatus(sqlite3_extended_errcode(db)) ? file + " is in use by another marld"
                                                            : state->failure("cannot be set up");
        return nullptr;
    }
    constexpr std::array<const char*, 3> kStatements = {
        "INSERT OR REPLACE INTO points(name, update_count, is_set, last_change_ns, runtime_info,"
        " runtime_info_from_last_update) VALUES(?, ?, ?, ?, ?, ?)",
        "INSERT OR REPLACE INTO history(name, sequence, is_set, at_ns, runtime_info) VALUES(?, ?, ?, ?, ?)",
        "DELETE FROM history WHERE name = ? AND sequence = ?"};
    for (std::size_t i = 0; i < kStatements.size(); ++i) {
        if (sqlite3_prepare_v2(db, kStatements[i], -1, &state->statements_[i], nullptr) != SQLITE_OK) {
            error = file + " is damaged (its tables are not as marld writes them: " + sqlite3_errmsg(db) + ")";
            return nullptr;
        }
    }
    return state;
}

StateFile::~StateFile()
{
    for (sqlite3_stmt* statement : statements_) {
        sqlite3_finalize(statement);
    }
    // Checkpoints the write-ahead log into the file and removes it.
    sqlite3_close(db_);
}

std::string StateFile::failure(const char* what) const
{
    return "the state file " + path_ + " " + what + ": " + sqlite3_errmsg(db_);
}

bool StateFile::load(PointStore& store, Journal& journal, std::string& error)
{
    // The points, then their histories; the rows of each point's history in order.
    for (const bool points : {true, false}) {
        sqlite3_stmt* rows = nullptr;
        int status = sqlite3_prepare_v2(
            db_,
            points ? "SELECT name, update_count, is_set, last_change_ns, runtime_info, runtime_info_from_last_update FROM points"
                   : "SELECT name, sequence, is_set, at_ns, runtime_info, 0 FROM history ORDER BY name, sequence",
            -1, &rows, nullptr);
        while (status == SQLITE_OK && (status = sqlite3_step(rows)) == SQLITE_ROW) {
            const std::string_view name = blobText(rows, 0);
            PointState row;
            const bool read = readRow(rows, row);
            if (read && !points) {
                journal.restore(name, row.updateCount, StateChange{row.lastChange, row.isSet, std::move(row.runtimeInfo)});
            }
            const bool kept = read && (!points || store.restore(name, std::move(row)));
            if (!kept) {
                error = "the state file " + path_ +
                        (read ? " holds more points than --max-points allows (" + std::to_string(store.size()) + ")"
                              : " is damaged (a " + std::string(points ? "points" : "history") + " row of point \"" +
                                    std::string(name) + "\" does not read back)");
            }
            status = kept ? SQLITE_OK : SQLITE_ABORT;
        }
        sqlite3_finalize(rows);
        if (status != SQLITE_DONE) {
            error = status == SQLITE_ABORT ? error : failure("cannot be read");
            return false;
        }
    }
    return true;
}

bool StateFile::save(const JournalBatch& batch, std::string& error)
{
    int status = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK ? SQLITE_DONE : SQLITE_ERROR;
    // Runs one statement; after a failure, nothing more.
    const auto run = [&](sqlite3_stmt* statement) {
        status = status == SQLITE_DONE ? sqlite3_step(statement) : status;
        sqlite3_reset(statement);
    };
    auto [upsert, addChange, forgetChange] = statements_;
    // Each point once, as the last of its updates left it.
    std::unordered_set<std::string_view> written;
    for (auto entry = batch.rbegin(); entry != batch.rend(); ++entry) {
        if (written.insert(entry->name).second) {
            bindRow(upsert, entry->name, entry->point.updateCount, entry->point);
            sqlite3_bind_int(upsert, 6, entry->point.runtimeInfoFromLastUpdate ? 1 : 0);
            run(upsert);
        }
    }
    for (const JournalEntry& entry : batch) {
        if (entry.change != 0) {
            bindRow(addChange, entry.name, entry.change, entry.point);
            run(addChange);
        }
        if (entry.change > Journal::kDepth) { // the change that falls out of the ring
            sqlite3_bind_blob(forgetChange, 1, entry.name.data(), static_cast<int>(entry.name.size()), SQLITE_STATIC);
            sqlite3_bind_int64(forgetChange, 2, static_cast<sqlite3_int64>(entry.change - Journal::kDepth));
            run(forgetChange);
        }
    }
    if (status == SQLITE_DONE && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
        return true;
    }
    error = failure("cannot be written");
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

bool StateWriter::handFrom(Journal& journal, bool wait)
{
    std::unique_lock hold(mutex_, std::defer_lock);
    if (!(wait ? (hold.lock(), true) : hold.try_lock())) {
        return false;
    }
    if (JournalBatch batch = journal.takeBatch(); !batch.empty()) {
        handed_.push_back(std::move(batch));
        wake_.notify_one();
    }
    return true;
}

void StateWriter::run(const std::stop_token& stop)
{
    std::unique_lock hold(mutex_);
    // Once stopped, on until all is written.
    while (wake_.wait(hold, stop, [this] { return !handed_.empty(); })) {
        {
            const JournalBatch batch = std::move(handed_.front());
            handed_.pop_front();
            hold.unlock();
            std::string error;
            if (!file_->save(batch, error)) {
                std::fprintf(stderr, "marld: %s\n", error.c_str());
            }
        } // the batch released before the lock is taken again: the loop never waits for that
        hold.lock();
    }
}

} // namespace marld
