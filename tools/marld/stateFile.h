// marld's state across restarts: an SQLite database with a row per point
// (its state, when it last changed, its update count and its latest runtime
// information), in WAL mode.
//
// The file is marld's alone while marld runs: it is opened in SQLite's
// exclusive locking mode, so that a second marld given the same file is
// refused rather than left to interleave its writes. A file that is not a
// marld state file, or is damaged, or was written by a newer marld, is
// refused before anything is written to it.
//
// Changes are written in one transaction per call of save(), each point
// once however often it changed since the last; the loop calls it at least
// every 100 ms while changes wait, and once more when it stops.
#pragma once

#include <memory>
#include <string>

#include "history.h"
#include "pointStore.h"

struct sqlite3;
struct sqlite3_stmt;

namespace marld {

class StateFile {
public:
    // The file's version of the schema. A marld that changes the schema
    // raises it and brings older files up to date when it opens them:
    // 1 held the points; 2 added each point's history.
    static constexpr int kSchemaVersion = 2;

    // The file at `path`, created when there is none. Null, with `error`
    // saying why (the file is then left as it was), when it cannot be used.
    [[nodiscard]] static std::unique_ptr<StateFile> open(const std::string& path, std::string& error);
    ~StateFile();
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    // Puts every point the file holds into `store`, which is to be empty,
    // and their changes into `history`; false with `error` set when a row
    // does not read back or the store has no room for all.
    [[nodiscard]] bool load(PointStore& store, History& history, std::string& error);

    // Writes what the store lists as changed and what the history recorded.
    // False with `error` set when the transaction fails; the changes it held
    // are then not written.
    [[nodiscard]] bool save(PointStore& store, History& history, std::string& error);

private:
    StateFile(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    [[nodiscard]] std::string failure(const char* what) const;

    sqlite3* db_;
    std::string path_;
    sqlite3_stmt* upsert_ = nullptr;
    sqlite3_stmt* addChange_ = nullptr;
    sqlite3_stmt* forgetChange_ = nullptr;
};

} // namespace marld
