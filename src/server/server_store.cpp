#include "server_store.h"

#include "n_log.h"

#include <cstring>
#include <sqlite3.h>

struct qvs_store {
    sqlite3 *db;
    bool in_tx;
};

namespace {

constexpr const char *SCHEMA_V1 =
    "CREATE TABLE accounts ("
    " user_id BLOB PRIMARY KEY,"
    " name TEXT NOT NULL UNIQUE,"
    " role INTEGER NOT NULL,"
    " auth_salt BLOB NOT NULL,"
    " auth_hash BLOB NOT NULL,"
    " identity_pub BLOB NOT NULL,"
    " pw_escrow BLOB NOT NULL,"
    " rk_escrow BLOB,"
    " extra BLOB,"
    " created_ms INTEGER NOT NULL);"
    "CREATE TABLE devices ("
    " user_id BLOB NOT NULL REFERENCES accounts(user_id),"
    " x25519_pub BLOB NOT NULL,"
    " ed25519_pub BLOB NOT NULL,"
    " cert BLOB NOT NULL,"
    " PRIMARY KEY (user_id, ed25519_pub));";

// One prepared statement, finalised on every path.
struct stmt {
    sqlite3_stmt *s = nullptr;
    stmt(sqlite3 *db, const char *sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
            n_log(LOG_ERR, "store: %s", sqlite3_errmsg(db));
            s = nullptr;
        }
    }
    ~stmt() { sqlite3_finalize(s); }
    stmt(const stmt &) = delete;
    stmt &operator=(const stmt &) = delete;
    bool blob(int i, const void *p, size_t n) { return sqlite3_bind_blob(s, i, p, static_cast<int>(n), SQLITE_TRANSIENT) == SQLITE_OK; }
    bool text(int i, const std::string &t) { return sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT) == SQLITE_OK; }
    bool i64(int i, int64_t v) { return sqlite3_bind_int64(s, i, v) == SQLITE_OK; }
    bool null(int i) { return sqlite3_bind_null(s, i) == SQLITE_OK; }
    // Copies column i when it is a blob of exactly n bytes.
    bool col(int i, void *out, size_t n) {
        if (sqlite3_column_type(s, i) != SQLITE_BLOB || static_cast<size_t>(sqlite3_column_bytes(s, i)) != n) return false;
        std::memcpy(out, sqlite3_column_blob(s, i), n);
        return true;
    }
};

bool exec(sqlite3 *db, const char *sql) {
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) == SQLITE_OK) return true;
    n_log(LOG_ERR, "store: %s", err ? err : "?");
    sqlite3_free(err);
    return false;
}

bool begin(qvs_store *st) {
    if (st->in_tx) return true;
    if (!exec(st->db, "BEGIN IMMEDIATE")) return false;
    st->in_tx = true;
    return true;
}

int user_version(sqlite3 *db) {
    stmt q(db, "PRAGMA user_version");
    if (!q.s || sqlite3_step(q.s) != SQLITE_ROW) return -1;
    return sqlite3_column_int(q.s, 0);
}

bool migrate(sqlite3 *db) {
    int v = user_version(db);
    if (v < 0 || v > QVS_SCHEMA_VERSION) {
        n_log(LOG_ERR, "store: schema version %d is not one this server knows", v);
        return false;
    }
    if (v == QVS_SCHEMA_VERSION) return true;
    if (!exec(db, "BEGIN IMMEDIATE")) return false;
    bool ok = true;
    if (v < 1) ok = exec(db, SCHEMA_V1);
    ok = ok && exec(db, "PRAGMA user_version = 1");
    ok = ok && exec(db, "COMMIT");
    if (!ok) exec(db, "ROLLBACK");
    return ok;
}

}  // namespace

qvs_store *qvs_store_open(const char *path) {
    if (!path) return nullptr;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        n_log(LOG_ERR, "store: cannot open %s: %s", path, db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    if (!exec(db, "PRAGMA journal_mode=WAL") || !exec(db, "PRAGMA synchronous=FULL") || !exec(db, "PRAGMA foreign_keys=ON") ||
        !migrate(db)) {
        sqlite3_close(db);
        return nullptr;
    }
    auto *st = new (std::nothrow) qvs_store{db, false};
    if (!st) sqlite3_close(db);
    return st;
}

void qvs_store_close(qvs_store *st) {
    if (!st) return;
    if (qvs_store_commit(st) != 0) n_log(LOG_ERR, "store: the last changes could not be committed");
    sqlite3_close(st->db);
    delete st;
}

int qvs_store_commit(qvs_store *st) {
    if (!st) return -1;
    if (!st->in_tx) return 0;
    st->in_tx = false;
    if (exec(st->db, "COMMIT")) return 0;
    exec(st->db, "ROLLBACK");
    return -1;
}

int qvs_store_account_count(qvs_store *st, uint64_t *count) {
    if (!st || !count) return -1;
    stmt q(st->db, "SELECT count(*) FROM accounts");
    if (!q.s || sqlite3_step(q.s) != SQLITE_ROW) return -1;
    *count = static_cast<uint64_t>(sqlite3_column_int64(q.s, 0));
    return 0;
}

namespace {

int insert_account(qvs_store *st, const qvs_account *a, const qvs_device *d) {
    qvs_account existing;
    int found = qvs_account_find(st, a->name, &existing);
    if (found != 0) return found == 1 ? 1 : -1;
    stmt q(st->db,
           "INSERT INTO accounts (user_id, name, role, auth_salt, auth_hash, identity_pub, pw_escrow, rk_escrow, extra, created_ms)"
           " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    bool ok = q.s && q.blob(1, a->user_id, 16) && q.text(2, a->name) && q.i64(3, a->role) &&
              q.blob(4, a->auth_salt, QVS_SALT_LEN) && q.blob(5, a->auth_hash, 32) && q.blob(6, a->identity_pub, 32) &&
              q.blob(7, a->pw_escrow, QVS_ESCROW_LEN) &&
              (a->has_rk_escrow ? q.blob(8, a->rk_escrow, QVS_ESCROW_LEN) : q.null(8)) &&
              (a->has_extra ? q.blob(9, a->extra, QVS_EXTRA_LEN) : q.null(9)) &&
              q.i64(10, static_cast<int64_t>(a->created_ms)) && sqlite3_step(q.s) == SQLITE_DONE;
    if (!ok) return -1;
    stmt dq(st->db, "INSERT INTO devices (user_id, x25519_pub, ed25519_pub, cert) VALUES (?1, ?2, ?3, ?4)");
    ok = dq.s && dq.blob(1, a->user_id, 16) && dq.blob(2, d->x25519_pub, 32) && dq.blob(3, d->ed25519_pub, 32) &&
         dq.blob(4, d->cert, 64) && sqlite3_step(dq.s) == SQLITE_DONE;
    return ok ? 0 : -1;
}

}  // namespace

// The account and its device rows go in together or not at all: the turn's
// transaction commits whatever a handler left in it, and an account without a
// device would hold its name yet never sign in.
int qvs_account_create(qvs_store *st, const qvs_account *a, const qvs_device *d) {
    if (!st || !a || !d || !begin(st) || !exec(st->db, "SAVEPOINT account_create")) return -1;
    int r = insert_account(st, a, d);
    if (r != 0) exec(st->db, "ROLLBACK TO account_create");
    return exec(st->db, "RELEASE account_create") ? r : -1;
}

int qvs_account_find(qvs_store *st, const std::string &name, qvs_account *out) {
    if (!st || !out) return -1;
    stmt q(st->db,
           "SELECT user_id, role, auth_salt, auth_hash, identity_pub, pw_escrow, rk_escrow, extra, created_ms"
           " FROM accounts WHERE name = ?1");
    if (!q.s || !q.text(1, name)) return -1;
    int r = sqlite3_step(q.s);
    if (r == SQLITE_DONE) return 0;
    if (r != SQLITE_ROW) return -1;
    *out = qvs_account{};
    out->name = name;
    out->role = static_cast<uint8_t>(sqlite3_column_int(q.s, 1));
    bool ok = q.col(0, out->user_id, 16) && q.col(2, out->auth_salt, QVS_SALT_LEN) && q.col(3, out->auth_hash, 32) &&
              q.col(4, out->identity_pub, 32) && q.col(5, out->pw_escrow, QVS_ESCROW_LEN);
    out->has_rk_escrow = q.col(6, out->rk_escrow, QVS_ESCROW_LEN);
    out->has_extra = q.col(7, out->extra, QVS_EXTRA_LEN);
    out->created_ms = static_cast<uint64_t>(sqlite3_column_int64(q.s, 8));
    return ok ? 1 : -1;
}

int qvs_account_devices(qvs_store *st, const uint8_t user_id[16], std::vector<qvs_device> *out) {
    if (!st || !user_id || !out) return -1;
    out->clear();
    stmt q(st->db, "SELECT x25519_pub, ed25519_pub, cert FROM devices WHERE user_id = ?1 LIMIT 5");
    if (!q.s || !q.blob(1, user_id, 16)) return -1;
    int r;
    while ((r = sqlite3_step(q.s)) == SQLITE_ROW) {
        qvs_device d{};
        if (!q.col(0, d.x25519_pub, 32) || !q.col(1, d.ed25519_pub, 32) || !q.col(2, d.cert, 64)) return -1;
        out->push_back(d);
    }
    return r == SQLITE_DONE ? 0 : -1;
}

int qvs_account_set_password(qvs_store *st, const uint8_t user_id[16], const uint8_t salt[QVS_SALT_LEN], const uint8_t hash[32],
                             const uint8_t pw_escrow[QVS_ESCROW_LEN]) {
    if (!st || !user_id || !salt || !hash || !pw_escrow || !begin(st)) return -1;
    stmt q(st->db, "UPDATE accounts SET auth_salt = ?2, auth_hash = ?3, pw_escrow = ?4 WHERE user_id = ?1");
    bool ok = q.s && q.blob(1, user_id, 16) && q.blob(2, salt, QVS_SALT_LEN) && q.blob(3, hash, 32) &&
              q.blob(4, pw_escrow, QVS_ESCROW_LEN) && sqlite3_step(q.s) == SQLITE_DONE;
    return ok && sqlite3_changes(st->db) == 1 ? 0 : -1;
}

int qvs_account_set_rk_escrow(qvs_store *st, const uint8_t user_id[16], const uint8_t rec[QVS_ESCROW_LEN]) {
    if (!st || !user_id || !rec || !begin(st)) return -1;
    stmt q(st->db, "UPDATE accounts SET rk_escrow = ?2 WHERE user_id = ?1");
    bool ok = q.s && q.blob(1, user_id, 16) && q.blob(2, rec, QVS_ESCROW_LEN) && sqlite3_step(q.s) == SQLITE_DONE;
    return ok && sqlite3_changes(st->db) == 1 ? 0 : -1;
}
