// The SQLite side of the storage benchmarks: a database opened as an
// application that cares for its data would open it, and statements whose
// failure ends the run (a benchmark that went on would measure nothing).
#pragma once

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace qv_bench {

inline void sql(sqlite3 *db, const char *q) {
    char *err = nullptr;
    if (sqlite3_exec(db, q, nullptr, nullptr, &err) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s\n", err ? err : "?");
        std::abort();
    }
}

// Full syncs, in WAL or rollback-journal mode.
inline sqlite3 *sqlite_open(const std::string &path, bool wal) {
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::abort();
    sql(db, wal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE");
    sql(db, "PRAGMA synchronous=FULL");
    return db;
}

}  // namespace qv_bench
