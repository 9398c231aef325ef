// marld's state across restarts: an SQLite database with a row per point
// (its state, when it last changed, its update count and its latest runtime
// information, and whether that came with the latest update), in WAL mode.
//
// The file is marld's alone while marld runs: it is opened in SQLite's
// exclusive locking mode, so that a second marld given the same file is
// refused rather than left to interleave its writes. A file that is not a
// marld state file, or is damaged, or was written by a newer marld, is
// refused before anything is written to it.
//
// The journal's batches are written by StateWriter, in a thread of its own,
// one transaction per batch, each point once however often it changed in it.
#pragma once

#include <array>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "journal.h"
#include "pointStore.h"

struct sqlite3;
struct sqlite3_stmt;

namespace marld {

class StateFile {
public:
    // The file's version of the schema. A marld that changes the schema
    // raises it and brings older files up to date when it opens them:
    // 1 held the points; 2 added each point's history; 3 whether a point's
    // runtime information came with its latest update.
    static constexpr int kSchemaVersion = 3;

    // The file at `path`, created when there is none. Null, with `error`
    // saying why (the file is then left as it was), when it cannot be used.
    [[nodiscard]] static std::unique_ptr<StateFile> open(const std::string& path, std::string& error);
    ~StateFile();
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    // Puts every point the file holds into `store`, which is to be empty,
    // and their changes into `journal`; false with `error` set when a row
    // does not read back or the store has no room for all.
    [[nodiscard]] bool load(PointStore& store, Journal& journal, std::string& error);

    // Writes the batch: each point as its last update in it left it, and
    // every change. False with `error` set when the transaction fails; the
    // batch is then not written.
    [[nodiscard]] bool save(const JournalBatch& batch, std::string& error);

private:
    StateFile(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    [[nodiscard]] std::string failure(const char* what) const;

    sqlite3* db_;
    std::string path_;
    std::array<sqlite3_stmt*, 3> statements_{}; // the point's upsert, a change's, a forgotten change's delete
};

// Writes the batches that the loop hands over, in a thread of its own, so
// that no transaction, commit or checkpoint ever holds the loop up. The loop
// hands each batch over whole and shares nothing else with the thread; a
// failure is reported on stderr and the thread goes on with the next batch.
class StateWriter {
public:
    // Its destruction writes what was handed over, then ends the thread.
    explicit StateWriter(std::unique_ptr<StateFile> file)
        : file_(std::move(file)), thread_([this](const std::stop_token& stop) { run(stop); })
    {
    }

    // Hands the journal's batch over. Unless told to `wait`, not while the
    // writer holds its lock just then (false): the loop must not wait for
    // the writer's thread, which may not be running, so it tries again a
    // moment later.
    bool handFrom(Journal& journal, bool wait = false);

private:
    void run(const std::stop_token& stop);

    std::unique_ptr<StateFile> file_;
    std::mutex mutex_; // guards handed_, and nothing else
    std::deque<JournalBatch> handed_;
    std::condition_variable_any wake_;
    std::jthread thread_; // the last member: stopped and joined before the others go
};

} // namespace marld
