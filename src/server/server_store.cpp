#include "server_store.h"

#include "n_log.h"

#include <cstring>
#include <sqlite3.h>
#include <unordered_map>

// A prepared statement kept for reuse, and whether a caller holds it now.
struct qvs_cached_stmt {
    sqlite3_stmt *s;
    bool in_use;
};

struct qvs_store {
    sqlite3 *db;
    bool in_tx;
    uint64_t last_pos;  // mirrors the positions row; may run ahead of it after a failed turn, never behind
    std::unordered_map<std::string, qvs_cached_stmt> cache;  // every envelope runs the same dozen statements
    uint64_t work = 0;  // statements run so far, and their steps (see qvs_store_work)
    bool accounts_changed = false;  // an account, device or password changed in the open turn
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

// Devices get a number of their own (envelopes are kept under it), prekeys,
// conversations and the envelopes waiting for each device: a copy per device
// with its own position, the bytes once per envelope (a group of 64 members
// with 5 devices each would otherwise write every envelope 320 times).
constexpr const char *SCHEMA_V2 =
    "CREATE TABLE devices2 ("
    " dev INTEGER PRIMARY KEY,"
    " user_id BLOB NOT NULL REFERENCES accounts(user_id),"
    " x25519_pub BLOB NOT NULL,"
    " ed25519_pub BLOB NOT NULL,"
    " cert BLOB NOT NULL,"
    " queued INTEGER NOT NULL DEFAULT 0,"
    " UNIQUE (user_id, ed25519_pub));"
    "INSERT INTO devices2 (user_id, x25519_pub, ed25519_pub, cert)"
    " SELECT user_id, x25519_pub, ed25519_pub, cert FROM devices ORDER BY rowid;"
    "DROP TABLE devices;"
    "ALTER TABLE devices2 RENAME TO devices;"
    "CREATE TABLE signed_prekeys ("
    " dev INTEGER PRIMARY KEY REFERENCES devices(dev),"
    " spk_id INTEGER NOT NULL,"
    " spk BLOB NOT NULL,"
    " sig BLOB NOT NULL);"
    "CREATE TABLE one_time_prekeys ("
    " dev INTEGER NOT NULL REFERENCES devices(dev),"
    " otk_id INTEGER NOT NULL,"
    " otk BLOB NOT NULL,"
    " PRIMARY KEY (dev, otk_id));"
    "CREATE TABLE convs ("
    " conv_id BLOB PRIMARY KEY,"
    " created_ms INTEGER NOT NULL);"
    "CREATE TABLE conv_members ("
    " conv_id BLOB NOT NULL REFERENCES convs(conv_id),"
    " seq INTEGER NOT NULL,"
    " user_id BLOB NOT NULL REFERENCES accounts(user_id),"
    " sealed BLOB NOT NULL,"
    " PRIMARY KEY (conv_id, user_id));"
    "CREATE INDEX conv_members_user ON conv_members(user_id);"
    "CREATE TABLE conv_device_keys ("
    " conv_id BLOB NOT NULL REFERENCES convs(conv_id),"
    " device_id BLOB NOT NULL,"
    " user_id BLOB NOT NULL,"
    " sealed BLOB NOT NULL,"
    " PRIMARY KEY (conv_id, device_id));"
    "CREATE TABLE envelope_bodies ("
    " id INTEGER PRIMARY KEY,"
    " body BLOB NOT NULL);"
    "CREATE TABLE envelopes ("
    " pos INTEGER PRIMARY KEY,"
    " dev INTEGER NOT NULL REFERENCES devices(dev),"
    " conv_id BLOB NOT NULL,"
    " body_id INTEGER NOT NULL REFERENCES envelope_bodies(id));"
    "CREATE INDEX envelopes_conv ON envelopes(dev, conv_id, pos);"
    "CREATE INDEX envelopes_dev ON envelopes(dev, pos);"
    "CREATE INDEX envelopes_body ON envelopes(body_id);"
    "CREATE TABLE positions (id INTEGER PRIMARY KEY CHECK (id = 1), last INTEGER NOT NULL);"
    "INSERT INTO positions VALUES (1, 0);";

// The highest position handed to each device: a cursor beyond it claims what
// the device never got. Devices of an older store are trusted up to the last
// position, as before. And the bytes of the copies waiting for each device, so
// envelopes of up to 1 MiB cannot fill the disk under the bound on copies.
constexpr const char *SCHEMA_V3 =
    "ALTER TABLE devices ADD COLUMN handed INTEGER NOT NULL DEFAULT 0;"
    "UPDATE devices SET handed = (SELECT last FROM positions WHERE id = 1);"
    "ALTER TABLE devices ADD COLUMN queued_bytes INTEGER NOT NULL DEFAULT 0;"
    "UPDATE devices SET queued_bytes = (SELECT COALESCE(SUM(length(b.body)), 0) FROM envelopes e"
    " JOIN envelope_bodies b ON b.id = e.body_id WHERE e.dev = devices.dev);";

// Group keys handed to single devices with older keys (grants), read marks per
// user, devices revoked for good, key requests waiting for a grant, presence
// switches, and one history copy of each envelope per conversation.
constexpr const char *SCHEMA_V4 =
    "CREATE TABLE conv_grants ("
    " conv_id BLOB NOT NULL,"
    " device_id BLOB NOT NULL,"
    " rec BLOB NOT NULL,"
    " PRIMARY KEY (conv_id, device_id));"
    "CREATE TABLE read_marks ("
    " user_id BLOB NOT NULL,"
    " conv_id BLOB NOT NULL,"
    " pos INTEGER NOT NULL,"
    " PRIMARY KEY (user_id, conv_id));"
    "CREATE TABLE revoked_devices ("
    " ed25519_pub BLOB PRIMARY KEY,"
    " user_id BLOB NOT NULL);"
    "CREATE TABLE key_requests ("
    " conv_id BLOB NOT NULL,"
    " device_id BLOB NOT NULL,"
    " user_id BLOB NOT NULL,"
    " dev INTEGER NOT NULL,"
    " PRIMARY KEY (conv_id, device_id));"
    "ALTER TABLE accounts ADD COLUMN presence_public INTEGER NOT NULL DEFAULT 0;"
    "CREATE TABLE conv_history ("
    " pos INTEGER PRIMARY KEY,"
    " conv_id BLOB NOT NULL,"
    " body BLOB NOT NULL);"
    "CREATE INDEX conv_history_conv ON conv_history(conv_id, pos);";

// Each copy names its envelope's sender (the header's, checked when it came),
// and the copies and bytes waiting for each device are counted per sender
// too, so one sender's share of a device can be bounded apart from the rest.
constexpr const char *SCHEMA_V5 =
    "ALTER TABLE envelopes ADD COLUMN sender BLOB;"
    "UPDATE envelopes SET sender = (SELECT COALESCE(substr(b.body, 17, 16), x'') FROM envelope_bodies b WHERE b.id = envelopes.body_id);"
    "CREATE TABLE device_senders ("
    " dev INTEGER NOT NULL,"
    " sender BLOB NOT NULL,"
    " queued INTEGER NOT NULL,"
    " queued_bytes INTEGER NOT NULL,"
    " PRIMARY KEY (dev, sender)) WITHOUT ROWID;"
    "INSERT INTO device_senders SELECT e.dev, e.sender, count(*), SUM(length(b.body)) FROM envelopes e"
    " JOIN envelope_bodies b ON b.id = e.body_id GROUP BY e.dev, e.sender;";

// Who put whom into a conversation and when (the limits on conversations
// with one user a day and on members added a minute read it), each member's
// role (a conversation made before has its first member as admin, who made
// it or last rekeyed it), and revoked devices per account: a key revoked in
// one account is nothing to another.
constexpr const char *SCHEMA_V6 =
    "CREATE TABLE member_adds ("
    " by_user BLOB NOT NULL,"
    " user_id BLOB NOT NULL,"
    " at_ms INTEGER NOT NULL);"
    "CREATE INDEX member_adds_by ON member_adds(by_user, at_ms);"
    "CREATE INDEX member_adds_pair ON member_adds(by_user, user_id, at_ms);"
    "ALTER TABLE conv_members ADD COLUMN role INTEGER NOT NULL DEFAULT 0;"
    "UPDATE conv_members SET role = 1 WHERE seq = 0;"
    "CREATE TABLE revoked2 ("
    " user_id BLOB NOT NULL,"
    " ed25519_pub BLOB NOT NULL,"
    " PRIMARY KEY (user_id, ed25519_pub));"
    "INSERT INTO revoked2 (user_id, ed25519_pub) SELECT user_id, ed25519_pub FROM revoked_devices ORDER BY rowid;"
    "DROP TABLE revoked_devices;"
    "ALTER TABLE revoked2 RENAME TO revoked_devices;";

// New accounts by the address they were registered from (an IPv4 address or
// an IPv6 /64), kept a day: the bound on what one address may register reads
// them, and a restart must not reset it.
constexpr const char *SCHEMA_V7 =
    "CREATE TABLE registrations ("
    " address BLOB NOT NULL,"
    " at_ms INTEGER NOT NULL);"
    "CREATE INDEX registrations_address ON registrations(address, at_ms);"
    "CREATE INDEX registrations_at ON registrations(at_ms);";

bool begin_read(qvs_store *st);

// One prepared statement: made for this use and finalised, or taken from the
// store's cache and handed back reset, on every path. A statement already
// held (a nested use of the same text) is made afresh.
struct stmt {
    sqlite3_stmt *s = nullptr;
    bool *held = nullptr;
    uint64_t *work = nullptr;
    stmt(sqlite3 *db, const char *sql) { prepare(db, sql); }
    stmt(qvs_store *st, const char *sql) : work(&st->work) {
        begin_read(st);
        auto it = st->cache.find(sql);
        if (it != st->cache.end() && !it->second.in_use) {
            s = it->second.s;
        } else if (it == st->cache.end() && prepare(st->db, sql)) {
            it = st->cache.emplace(sql, qvs_cached_stmt{s, false}).first;
        } else {
            prepare(st->db, sql);
            return;
        }
        held = &it->second.in_use;
        *held = true;
    }
    ~stmt() {
        if (s && work) {
            // A run costs about what a few dozen virtual-machine steps do (measured:
            // binding, the cache look-up, a B-tree descent); long scans count by their steps.
            sqlite3_reset(s);
            *work += static_cast<uint64_t>(sqlite3_stmt_status(s, SQLITE_STMTSTATUS_RUN, 1)) +
                     static_cast<uint64_t>(sqlite3_stmt_status(s, SQLITE_STMTSTATUS_VM_STEP, 1)) / QVS_VM_STEPS_PER_WORK;
        }
        if (!held) {
            sqlite3_finalize(s);
            return;
        }
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        *held = false;
    }
    bool prepare(sqlite3 *db, const char *sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK) return true;
        n_log(LOG_ERR, "store: %s", sqlite3_errmsg(db));
        s = nullptr;
        return false;
    }
    stmt(const stmt &) = delete;
    stmt &operator=(const stmt &) = delete;
    bool blob(int i, const void *p, size_t n) { return sqlite3_bind_blob(s, i, p, static_cast<int>(n), SQLITE_TRANSIENT) == SQLITE_OK; }
    bool text(int i, const std::string &t) { return sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT) == SQLITE_OK; }
    bool i64(int i, int64_t v) { return sqlite3_bind_int64(s, i, v) == SQLITE_OK; }
    bool null(int i) { return sqlite3_bind_null(s, i) == SQLITE_OK; }
    bool done() { return sqlite3_step(s) == SQLITE_DONE; }
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

// Reads join the turn's transaction too (deferred: a first write takes the
// write lock within it), so a turn takes the file's locks once rather than
// twice per statement, which cost more than the statements themselves.
bool begin_read(qvs_store *st) {
    if (st->in_tx) return true;
    if (!exec(st->db, "BEGIN")) return false;
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
    if (v < 2) ok = ok && exec(db, SCHEMA_V2);
    if (v < 3) ok = ok && exec(db, SCHEMA_V3);
    if (v < 4) ok = ok && exec(db, SCHEMA_V4);
    if (v < 5) ok = ok && exec(db, SCHEMA_V5);
    if (v < 6) ok = ok && exec(db, SCHEMA_V6);
    if (v < 7) ok = ok && exec(db, SCHEMA_V7);
    ok = ok && exec(db, ("PRAGMA user_version = " + std::to_string(QVS_SCHEMA_VERSION)).c_str());
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
    int64_t last = -1;
    {
        stmt q(db, "SELECT last FROM positions WHERE id = 1");
        if (q.s && sqlite3_step(q.s) == SQLITE_ROW) last = sqlite3_column_int64(q.s, 0);
    }
    auto *st = last < 0 ? nullptr : new (std::nothrow) qvs_store{db, false, static_cast<uint64_t>(last), {}};
    if (!st) sqlite3_close(db);
    return st;
}

void qvs_store_close(qvs_store *st) {
    if (!st) return;
    if (qvs_store_commit(st) != 0) n_log(LOG_ERR, "store: the last changes could not be committed");
    for (auto &[sql, c] : st->cache) sqlite3_finalize(c.s);
    sqlite3_close(st->db);
    delete st;
}

int qvs_store_commit(qvs_store *st) {
    if (!st) return -1;
    st->accounts_changed = false;
    if (!st->in_tx) return 0;
    st->in_tx = false;
    if (exec(st->db, "COMMIT")) return 0;
    exec(st->db, "ROLLBACK");
    return -1;
}

int qvs_store_account_count(qvs_store *st, uint64_t *count) {
    if (!st || !count) return -1;
    stmt q(st, "SELECT count(*) FROM accounts");
    if (!q.s || sqlite3_step(q.s) != SQLITE_ROW) return -1;
    *count = static_cast<uint64_t>(sqlite3_column_int64(q.s, 0));
    return 0;
}

namespace {

int insert_account(qvs_store *st, const qvs_account *a, const qvs_device *d) {
    qvs_account existing;
    int found = qvs_account_find(st, a->name, &existing);
    if (found != 0) return found == 1 ? 1 : -1;
    stmt q(st,
           "INSERT INTO accounts (user_id, name, role, auth_salt, auth_hash, identity_pub, pw_escrow, rk_escrow, extra, created_ms)"
           " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    bool ok = q.s && q.blob(1, a->user_id, 16) && q.text(2, a->name) && q.i64(3, a->role) &&
              q.blob(4, a->auth_salt, QVS_SALT_LEN) && q.blob(5, a->auth_hash, 32) && q.blob(6, a->identity_pub, 32) &&
              q.blob(7, a->pw_escrow, QVS_ESCROW_LEN) &&
              (a->has_rk_escrow ? q.blob(8, a->rk_escrow, QVS_ESCROW_LEN) : q.null(8)) &&
              (a->has_extra ? q.blob(9, a->extra, QVS_EXTRA_LEN) : q.null(9)) &&
              q.i64(10, static_cast<int64_t>(a->created_ms)) && sqlite3_step(q.s) == SQLITE_DONE;
    if (!ok) return -1;
    stmt dq(st, "INSERT INTO devices (user_id, x25519_pub, ed25519_pub, cert) VALUES (?1, ?2, ?3, ?4)");
    ok = dq.s && dq.blob(1, a->user_id, 16) && dq.blob(2, d->x25519_pub, 32) && dq.blob(3, d->ed25519_pub, 32) &&
         dq.blob(4, d->cert, 64) && sqlite3_step(dq.s) == SQLITE_DONE;
    return ok ? 0 : -1;
}

// Runs fn inside a savepoint of the turn's transaction: a result other than 0
// takes back everything fn wrote, so no half of a change reaches the commit.
template <class F> int atomically(qvs_store *st, const char *name, F fn) {
    st->work += 2;  // the savepoint and its release, each parsed anew
    std::string sp = std::string("SAVEPOINT ") + name, back = std::string("ROLLBACK TO ") + name,
                rel = std::string("RELEASE ") + name;
    if (!begin(st) || !exec(st->db, sp.c_str())) return -1;
    int r = fn();
    if (r != 0) exec(st->db, back.c_str());
    return exec(st->db, rel.c_str()) ? r : -1;
}

}  // namespace

// The account and its device rows go in together or not at all: the turn's
// transaction commits whatever a handler left in it, and an account without a
// device would hold its name yet never sign in.
int qvs_account_create(qvs_store *st, const qvs_account *a, const qvs_device *d) {
    if (!st || !a || !d) return -1;
    st->accounts_changed = true;
    return atomically(st, "account_create", [&] { return insert_account(st, a, d); });
}

namespace {

// Reads one account row selected by name or by id.
int read_account(stmt &q, qvs_account *out) {
    int r = sqlite3_step(q.s);
    if (r == SQLITE_DONE) return 0;
    if (r != SQLITE_ROW) return -1;
    *out = qvs_account{};
    out->role = static_cast<uint8_t>(sqlite3_column_int(q.s, 1));
    const unsigned char *name = sqlite3_column_text(q.s, 9);
    if (name) out->name.assign(reinterpret_cast<const char *>(name), static_cast<size_t>(sqlite3_column_bytes(q.s, 9)));
    bool ok = q.col(0, out->user_id, 16) && q.col(2, out->auth_salt, QVS_SALT_LEN) && q.col(3, out->auth_hash, 32) &&
              q.col(4, out->identity_pub, 32) && q.col(5, out->pw_escrow, QVS_ESCROW_LEN);
    out->has_rk_escrow = q.col(6, out->rk_escrow, QVS_ESCROW_LEN);
    out->has_extra = q.col(7, out->extra, QVS_EXTRA_LEN);
    out->created_ms = static_cast<uint64_t>(sqlite3_column_int64(q.s, 8));
    return ok ? 1 : -1;
}

constexpr const char *ACCOUNT_COLUMNS =
    "SELECT user_id, role, auth_salt, auth_hash, identity_pub, pw_escrow, rk_escrow, extra, created_ms, name FROM accounts ";

}  // namespace

int qvs_account_find(qvs_store *st, const std::string &name, qvs_account *out) {
    if (!st || !out) return -1;
    stmt q(st, (std::string(ACCOUNT_COLUMNS) + "WHERE name = ?1").c_str());
    if (!q.s || !q.text(1, name)) return -1;
    return read_account(q, out);
}

int qvs_account_by_id(qvs_store *st, const uint8_t user_id[16], qvs_account *out) {
    if (!st || !user_id || !out) return -1;
    stmt q(st, (std::string(ACCOUNT_COLUMNS) + "WHERE user_id = ?1").c_str());
    if (!q.s || !q.blob(1, user_id, 16)) return -1;
    return read_account(q, out);
}

int qvs_account_devices(qvs_store *st, const uint8_t user_id[16], std::vector<qvs_device> *out) {
    if (!st || !user_id || !out) return -1;
    out->clear();
    stmt q(st, "SELECT x25519_pub, ed25519_pub, cert, dev FROM devices WHERE user_id = ?1 ORDER BY dev LIMIT 5");
    if (!q.s || !q.blob(1, user_id, 16)) return -1;
    int r;
    while ((r = sqlite3_step(q.s)) == SQLITE_ROW) {
        qvs_device d{};
        if (!q.col(0, d.x25519_pub, 32) || !q.col(1, d.ed25519_pub, 32) || !q.col(2, d.cert, 64)) return -1;
        d.row = sqlite3_column_int64(q.s, 3);
        out->push_back(d);
    }
    return r == SQLITE_DONE ? 0 : -1;
}

int qvs_device_add(qvs_store *st, const uint8_t user_id[16], const qvs_device *d) {
    if (!st || !user_id || !d) return -1;
    std::vector<qvs_device> have;
    if (qvs_account_devices(st, user_id, &have) != 0) return -1;
    for (const qvs_device &h : have)
        if (std::memcmp(h.ed25519_pub, d->ed25519_pub, 32) == 0) return 1;
    // Revoked before full: a revoked device is told so, not to free a place
    // it would never get.
    stmt rv(st, "SELECT 1 FROM revoked_devices WHERE user_id = ?1 AND ed25519_pub = ?2");
    if (!rv.s || !rv.blob(1, user_id, 16) || !rv.blob(2, d->ed25519_pub, 32)) return -1;
    int rr = sqlite3_step(rv.s);
    if (rr == SQLITE_ROW) return 3;
    if (rr != SQLITE_DONE) return -1;
    if (have.size() >= QVS_MAX_DEVICES) return 2;
    if (!begin(st)) return -1;
    st->accounts_changed = true;
    stmt q(st, "INSERT INTO devices (user_id, x25519_pub, ed25519_pub, cert) VALUES (?1, ?2, ?3, ?4)");
    return q.s && q.blob(1, user_id, 16) && q.blob(2, d->x25519_pub, 32) && q.blob(3, d->ed25519_pub, 32) && q.blob(4, d->cert, 64) &&
                   q.done()
               ? 0
               : -1;
}

int qvs_revoked_keys(qvs_store *st, const uint8_t user_id[16], size_t max, std::vector<std::array<uint8_t, 32>> *out) {
    if (!st || !user_id || !out) return -1;
    out->clear();
    stmt q(st, "SELECT ed25519_pub FROM revoked_devices WHERE user_id = ?1 ORDER BY rowid DESC LIMIT ?2");
    if (!q.s || !q.blob(1, user_id, 16) || !q.i64(2, static_cast<int64_t>(max))) return -1;
    int r;
    while ((r = sqlite3_step(q.s)) == SQLITE_ROW) {
        out->emplace_back();
        if (!q.col(0, out->back().data(), 32)) return -1;
    }
    return r == SQLITE_DONE ? 0 : -1;
}

int qvs_account_set_password(qvs_store *st, const uint8_t user_id[16], const uint8_t salt[QVS_SALT_LEN], const uint8_t hash[32],
                             const uint8_t pw_escrow[QVS_ESCROW_LEN]) {
    if (!st || !user_id || !salt || !hash || !pw_escrow || !begin(st)) return -1;
    st->accounts_changed = true;
    stmt q(st, "UPDATE accounts SET auth_salt = ?2, auth_hash = ?3, pw_escrow = ?4 WHERE user_id = ?1");
    bool ok = q.s && q.blob(1, user_id, 16) && q.blob(2, salt, QVS_SALT_LEN) && q.blob(3, hash, 32) &&
              q.blob(4, pw_escrow, QVS_ESCROW_LEN) && sqlite3_step(q.s) == SQLITE_DONE;
    return ok && sqlite3_changes(st->db) == 1 ? 0 : -1;
}

int qvs_account_set_rk_escrow(qvs_store *st, const uint8_t user_id[16], const uint8_t rec[QVS_ESCROW_LEN]) {
    if (!st || !user_id || !rec || !begin(st)) return -1;
    st->accounts_changed = true;
    stmt q(st, "UPDATE accounts SET rk_escrow = ?2 WHERE user_id = ?1");
    bool ok = q.s && q.blob(1, user_id, 16) && q.blob(2, rec, QVS_ESCROW_LEN) && sqlite3_step(q.s) == SQLITE_DONE;
    return ok && sqlite3_changes(st->db) == 1 ? 0 : -1;
}

/* ---- prekeys ---- */

int qvs_prekeys_put(qvs_store *st, int64_t dev, const qvs_prekeys *pk) {
    if (!st || !pk || pk->otk_count > QVS_OTK_MAX) return -1;
    return atomically(st, "prekeys_put", [&] {
        stmt del(st, "DELETE FROM one_time_prekeys WHERE dev = ?1");
        stmt spk(st, "INSERT OR REPLACE INTO signed_prekeys (dev, spk_id, spk, sig) VALUES (?1, ?2, ?3, ?4)");
        if (!del.s || !del.i64(1, dev) || !del.done() || !spk.s || !spk.i64(1, dev) || !spk.i64(2, pk->spk_id) ||
            !spk.blob(3, pk->spk, 32) || !spk.blob(4, pk->sig, 64) || !spk.done())
            return -1;
        stmt otk(st, "INSERT OR REPLACE INTO one_time_prekeys (dev, otk_id, otk) VALUES (?1, ?2, ?3)");
        if (!otk.s) return -1;
        for (size_t i = 0; i < pk->otk_count; i++) {
            sqlite3_reset(otk.s);
            if (!otk.i64(1, dev) || !otk.i64(2, pk->otk_id[i]) || !otk.blob(3, pk->otk[i], 32) || !otk.done()) return -1;
        }
        return 0;
    });
}

int qvs_prekeys_take(qvs_store *st, int64_t dev, qvs_prekey_hand *out) {
    if (!st || !out) return -1;
    *out = qvs_prekey_hand{};
    stmt q(st, "SELECT spk_id, spk, sig FROM signed_prekeys WHERE dev = ?1");
    if (!q.s || !q.i64(1, dev)) return -1;
    int r = sqlite3_step(q.s);
    if (r == SQLITE_DONE) return 0;
    if (r != SQLITE_ROW || !q.col(1, out->spk, 32) || !q.col(2, out->sig, 64)) return -1;
    out->spk_id = static_cast<uint32_t>(sqlite3_column_int64(q.s, 0));
    stmt o(st, "SELECT otk_id, otk FROM one_time_prekeys WHERE dev = ?1 ORDER BY otk_id LIMIT 1");
    if (!o.s || !o.i64(1, dev)) return -1;
    r = sqlite3_step(o.s);
    if (r == SQLITE_ROW && o.col(1, out->otk, 32)) {
        out->otk_id = static_cast<uint32_t>(sqlite3_column_int64(o.s, 0));
        // Handed out once: the deletion commits before the reply leaves.
        stmt del(st, "DELETE FROM one_time_prekeys WHERE dev = ?1 AND otk_id = ?2");
        if (!begin(st) || !del.s || !del.i64(1, dev) || !del.i64(2, out->otk_id) || !del.done()) return -1;
        out->has_otk = 1;
    } else if (r != SQLITE_DONE && r != SQLITE_ROW) {
        return -1;
    }
    return 1;
}

/* ---- conversations ---- */

namespace {

// The 16-byte ids in the first column of every row.
int read_ids(stmt &q, std::vector<std::vector<uint8_t>> *out) {
    int r;
    while ((r = sqlite3_step(q.s)) == SQLITE_ROW) {
        std::vector<uint8_t> id(16);
        if (!q.col(0, id.data(), 16)) return -1;
        out->push_back(std::move(id));
    }
    return r == SQLITE_DONE ? 0 : -1;
}

// The members in order with their keys, and the keys sealed to single devices.
int put_members(qvs_store *st, const uint8_t conv_id[16], const std::vector<qvs_conv_member> &members,
                const std::vector<qvs_conv_devkey> &devkeys) {
    stmt m(st, "INSERT INTO conv_members (conv_id, seq, user_id, sealed, role) VALUES (?1, ?2, ?3, ?4, ?5)");
    if (!m.s) return -1;
    for (size_t i = 0; i < members.size(); i++) {
        sqlite3_reset(m.s);
        if (!m.blob(1, conv_id, 16) || !m.i64(2, static_cast<int64_t>(i)) || !m.blob(3, members[i].user_id, 16) ||
            !m.blob(4, members[i].sealed, QVS_SEALED_KEY_LEN) || !m.i64(5, members[i].role) || !m.done())
            return -1;
    }
    stmt d(st, "INSERT OR REPLACE INTO conv_device_keys (conv_id, device_id, user_id, sealed) VALUES (?1, ?2, ?3, ?4)");
    if (!d.s) return -1;
    for (const qvs_conv_devkey &k : devkeys) {
        sqlite3_reset(d.s);
        if (!d.blob(1, conv_id, 16) || !d.blob(2, k.device_id, 16) || !d.blob(3, k.user_id, 16) ||
            !d.blob(4, k.sealed, QVS_SEALED_KEY_LEN) || !d.done())
            return -1;
    }
    return 0;
}

}  // namespace
int qvs_conv_create(qvs_store *st, const uint8_t conv_id[16], const std::vector<qvs_conv_member> &members,
                    const std::vector<qvs_conv_devkey> &devkeys) {
    if (!st || !conv_id) return -1;
    return atomically(st, "conv_create", [&] {
        stmt have(st, "SELECT 1 FROM convs WHERE conv_id = ?1");
        if (!have.s || !have.blob(1, conv_id, 16)) return -1;
        int r = sqlite3_step(have.s);
        if (r == SQLITE_ROW) return 1;
        if (r != SQLITE_DONE) return -1;
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        stmt c(st, "INSERT INTO convs (conv_id, created_ms) VALUES (?1, ?2)");
        if (!c.s || !c.blob(1, conv_id, 16) || !c.i64(2, static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000) || !c.done())
            return -1;
        return put_members(st, conv_id, members, devkeys);
    });
}

int qvs_conv_is_member(qvs_store *st, const uint8_t conv_id[16], const uint8_t user_id[16]) {
    if (!st || !conv_id || !user_id) return -1;
    stmt q(st, "SELECT 1 FROM conv_members WHERE conv_id = ?1 AND user_id = ?2");
    if (!q.s || !q.blob(1, conv_id, 16) || !q.blob(2, user_id, 16)) return -1;
    int r = sqlite3_step(q.s);
    return r == SQLITE_ROW ? 1 : r == SQLITE_DONE ? 0 : -1;
}

int qvs_conv_members(qvs_store *st, const uint8_t conv_id[16], std::vector<qvs_conv_member> *out) {
    if (!st || !conv_id || !out) return -1;
    out->clear();
    stmt q(st, "SELECT user_id, sealed, role FROM conv_members WHERE conv_id = ?1 ORDER BY seq");
    if (!q.s || !q.blob(1, conv_id, 16)) return -1;
    int r;
    while ((r = sqlite3_step(q.s)) == SQLITE_ROW) {
        qvs_conv_member m{};
        if (!q.col(0, m.user_id, 16) || !q.col(1, m.sealed, QVS_SEALED_KEY_LEN)) return -1;
        m.role = static_cast<uint8_t>(sqlite3_column_int(q.s, 2));
        out->push_back(m);
    }
    return r == SQLITE_DONE ? 0 : -1;
}

int qvs_conv_device_key(qvs_store *st, const uint8_t conv_id[16], const uint8_t device_id[16], uint8_t out[QVS_SEALED_KEY_LEN]) {
    if (!st || !conv_id || !device_id || !out) return -1;
    stmt q(st, "SELECT sealed FROM conv_device_keys WHERE conv_id = ?1 AND device_id = ?2");
    if (!q.s || !q.blob(1, conv_id, 16) || !q.blob(2, device_id, 16)) return -1;
    int r = sqlite3_step(q.s);
    if (r == SQLITE_DONE) return 0;
    return r == SQLITE_ROW && q.col(0, out, QVS_SEALED_KEY_LEN) ? 1 : -1;
}

int qvs_user_convs(qvs_store *st, const uint8_t user_id[16], std::vector<std::vector<uint8_t>> *out) {
    if (!st || !user_id || !out) return -1;
    out->clear();
    stmt q(st, "SELECT conv_id FROM conv_members WHERE user_id = ?1 ORDER BY rowid");
    if (!q.s || !q.blob(1, user_id, 16)) return -1;
    return read_ids(q, out);
}

/* ---- envelopes ---- */

namespace {

bool fits(uint64_t n, uint64_t had, uint64_t max_n, uint64_t max_bytes, uint64_t len) {
    return n < max_n && had <= max_bytes && len <= max_bytes - had;
}

// Whether one more copy of `len` bytes from this sender may wait for the
// device: within the sender's share, and within the device's totals unless
// the sender holds less than its reserve, which nobody else can take.
bool has_room(const qvs_env_bounds &b, uint64_t copies, uint64_t bytes, uint64_t s_copies, uint64_t s_bytes, uint64_t len) {
    return fits(s_copies, s_bytes, b.sender_copies, b.sender_bytes, len) &&
           (fits(copies, bytes, b.copies, b.bytes, len) || fits(s_copies, s_bytes, b.reserve_copies, b.reserve_bytes, len));
}

}  // namespace

int qvs_env_store(qvs_store *st, const uint8_t conv_id[16], const uint8_t sender[16], const uint8_t *env, size_t len,
                  const std::vector<int64_t> &devs, const qvs_env_bounds &bounds, std::vector<uint64_t> *out, uint64_t *ack) {
    if (!st || !conv_id || !sender || !env || !out || !ack) return -1;
    out->clear();
    uint64_t before = st->last_pos;
    int r = atomically(st, "env_store", [&] {
        stmt full(st, "SELECT d.queued, d.queued_bytes, COALESCE(s.queued, 0), COALESCE(s.queued_bytes, 0) FROM devices d"
                      " LEFT JOIN device_senders s ON s.dev = d.dev AND s.sender = ?2 WHERE d.dev = ?1");
        stmt body(st, "INSERT INTO envelope_bodies (body) VALUES (?1)");
        stmt ins(st, "INSERT INTO envelopes (pos, dev, conv_id, body_id, sender) VALUES (?1, ?2, ?3, ?4, ?5)");
        stmt cnt(st, "UPDATE devices SET queued = queued + 1, queued_bytes = queued_bytes + ?2 WHERE dev = ?1");
        stmt share(st, "INSERT INTO device_senders (dev, sender, queued, queued_bytes) VALUES (?1, ?2, 1, ?3)"
                       " ON CONFLICT (dev, sender) DO UPDATE SET queued = queued + 1, queued_bytes = queued_bytes + ?3");
        if (!full.s || !body.s || !ins.s || !cnt.s || !share.s) return -1;
        // A device at its bound misses this copy: refusing the whole envelope would
        // let one device that never syncs silence every conversation it is in.
        std::vector<bool> room;
        size_t with_room = 0;
        for (int64_t dev : devs) {
            sqlite3_reset(full.s);
            if (!full.i64(1, dev) || !full.blob(2, sender, 16) || sqlite3_step(full.s) != SQLITE_ROW) return -1;
            auto col = [&](int i) { return static_cast<uint64_t>(sqlite3_column_int64(full.s, i)); };
            room.push_back(has_room(bounds, col(0), col(1), col(2), col(3), len));
            with_room += room.back() ? 1 : 0;
        }
        if (!devs.empty() && with_room == 0) return 1;
        if (!devs.empty() && (!body.blob(1, env, len) || !body.done())) return -1;
        int64_t body_id = sqlite3_last_insert_rowid(st->db);
        for (size_t i = 0; i < devs.size(); i++) {
            const int64_t dev = devs[i];
            if (!room[i]) {
                n_log(LOG_WARNING, "store: device %lld holds as much as it may from this sender: this copy is not kept for it",
                      static_cast<long long>(dev));
                out->push_back(0);
                continue;
            }
            uint64_t pos = ++st->last_pos;
            sqlite3_reset(ins.s);
            sqlite3_reset(cnt.s);
            sqlite3_reset(share.s);
            if (!ins.i64(1, static_cast<int64_t>(pos)) || !ins.i64(2, dev) || !ins.blob(3, conv_id, 16) || !ins.i64(4, body_id) ||
                !ins.blob(5, sender, 16) || !ins.done() || !cnt.i64(1, dev) || !cnt.i64(2, static_cast<int64_t>(len)) || !cnt.done() ||
                !share.i64(1, dev) || !share.blob(2, sender, 16) || !share.i64(3, static_cast<int64_t>(len)) || !share.done())
                return -1;
            out->push_back(pos);
        }
        if (devs.empty()) ++st->last_pos;
        stmt p(st, "UPDATE positions SET last = ?1 WHERE id = 1");
        return p.s && p.i64(1, static_cast<int64_t>(st->last_pos)) && p.done() ? 0 : -1;
    });
    if (r != 0) {
        st->last_pos = before;
        out->clear();
    } else {
        *ack = st->last_pos;
    }
    return r;
}

int qvs_env_fetch(qvs_store *st, int64_t dev, const uint8_t *conv_id, uint64_t after, uint64_t upto, size_t max_count,
                  size_t max_bytes, std::vector<qvs_envelope> *out) {
    if (!st || !out) return -1;
    out->clear();
    stmt q(st, conv_id ? "SELECT e.pos, e.conv_id, b.body FROM envelopes e JOIN envelope_bodies b ON b.id = e.body_id"
                         " WHERE e.dev = ?1 AND e.conv_id = ?2 AND e.pos > ?3 AND e.pos <= ?4 ORDER BY e.pos LIMIT ?5"
                       : "SELECT e.pos, e.conv_id, b.body FROM envelopes e JOIN envelope_bodies b ON b.id = e.body_id"
                         " WHERE e.dev = ?1 AND e.pos > ?3 AND e.pos <= ?4 ORDER BY e.pos LIMIT ?5");
    auto clamp = [](uint64_t v) { return static_cast<int64_t>(v > INT64_MAX ? INT64_MAX : v); };
    if (!q.s || !q.i64(1, dev) || (conv_id && !q.blob(2, conv_id, 16)) || !q.i64(3, clamp(after)) || !q.i64(4, clamp(upto)) ||
        !q.i64(5, static_cast<int64_t>(max_count)))
        return -1;
    int r;
    size_t total = 0;
    while (total < max_bytes && (r = sqlite3_step(q.s)) == SQLITE_ROW) {
        qvs_envelope e;
        e.pos = static_cast<uint64_t>(sqlite3_column_int64(q.s, 0));
        if (!q.col(1, e.conv_id, 16)) return -1;
        const uint8_t *b = static_cast<const uint8_t *>(sqlite3_column_blob(q.s, 2));
        e.body.assign(b, b + sqlite3_column_bytes(q.s, 2));
        total += e.body.size();
        out->push_back(std::move(e));
    }
    return total >= max_bytes || r == SQLITE_DONE ? 0 : -1;
}

namespace {

// Deletes the device's copies of the conversation at or below `upto`, gives
// their count and bytes back to the device and to each sender's share, and
// deletes an envelope's bytes with its last copy. Inside the caller's savepoint.
int drop_copies(qvs_store *st, int64_t dev, const uint8_t conv_id[16], int64_t upto) {
    std::vector<int64_t> bodies;
    stmt ids(st, "SELECT DISTINCT body_id FROM envelopes WHERE dev = ?1 AND conv_id = ?2 AND pos <= ?3");
    if (!ids.s || !ids.i64(1, dev) || !ids.blob(2, conv_id, 16) || !ids.i64(3, upto)) return -1;
    int r;
    while ((r = sqlite3_step(ids.s)) == SQLITE_ROW) bodies.push_back(sqlite3_column_int64(ids.s, 0));
    if (r != SQLITE_DONE) return -1;
    if (bodies.empty()) return 0;
    struct share { std::vector<uint8_t> sender; int64_t n, bytes; };
    std::vector<share> shares;
    stmt sum(st, "SELECT e.sender, count(*), COALESCE(SUM(length(b.body)), 0) FROM envelopes e JOIN envelope_bodies b ON b.id = e.body_id"
                 " WHERE e.dev = ?1 AND e.conv_id = ?2 AND e.pos <= ?3 GROUP BY e.sender");
    if (!sum.s || !sum.i64(1, dev) || !sum.blob(2, conv_id, 16) || !sum.i64(3, upto)) return -1;
    while ((r = sqlite3_step(sum.s)) == SQLITE_ROW) {
        const auto *p = static_cast<const uint8_t *>(sqlite3_column_blob(sum.s, 0));
        shares.push_back({std::vector<uint8_t>(p, p + sqlite3_column_bytes(sum.s, 0)), sqlite3_column_int64(sum.s, 1),
                          sqlite3_column_int64(sum.s, 2)});
    }
    if (r != SQLITE_DONE) return -1;
    stmt del(st, "DELETE FROM envelopes WHERE dev = ?1 AND conv_id = ?2 AND pos <= ?3");
    if (!del.s || !del.i64(1, dev) || !del.blob(2, conv_id, 16) || !del.i64(3, upto) || !del.done()) return -1;
    stmt cnt(st, "UPDATE devices SET queued = queued - ?2, queued_bytes = queued_bytes - ?3 WHERE dev = ?1");
    stmt own(st, "UPDATE device_senders SET queued = queued - ?3, queued_bytes = queued_bytes - ?4 WHERE dev = ?1 AND sender IS ?2");
    stmt gone_share(st, "DELETE FROM device_senders WHERE dev = ?1 AND queued <= 0");
    if (!cnt.s || !own.s || !gone_share.s) return -1;
    for (const share &sh : shares) {
        sqlite3_reset(cnt.s);
        sqlite3_reset(own.s);
        if (!cnt.i64(1, dev) || !cnt.i64(2, sh.n) || !cnt.i64(3, sh.bytes) || !cnt.done() || !own.i64(1, dev) ||
            !own.blob(2, sh.sender.data(), sh.sender.size()) || !own.i64(3, sh.n) || !own.i64(4, sh.bytes) || !own.done())
            return -1;
    }
    if (!gone_share.i64(1, dev) || !gone_share.done()) return -1;
    stmt gone(st, "DELETE FROM envelope_bodies WHERE id = ?1 AND NOT EXISTS (SELECT 1 FROM envelopes WHERE body_id = ?1)");
    if (!gone.s) return -1;
    for (int64_t id : bodies) {
        sqlite3_reset(gone.s);
        if (!gone.i64(1, id) || !gone.done()) return -1;
    }
    return 0;
}

int64_t clamp64(uint64_t v) { return static_cast<int64_t>(v > INT64_MAX ? INT64_MAX : v); }

}  // namespace

int qvs_env_drop_upto(qvs_store *st, int64_t dev, const uint8_t conv_id[16], uint64_t cursor) {
    if (!st || !conv_id) return -1;
    if (cursor == 0) return 0;
    return atomically(st, "env_drop", [&] { return drop_copies(st, dev, conv_id, clamp64(cursor)); });
}

uint64_t qvs_env_last_pos(qvs_store *st) { return st ? st->last_pos : 0; }

uint64_t qvs_store_work(const qvs_store *st) { return st ? st->work : 0; }
bool qvs_store_accounts_changed(const qvs_store *st) { return !st || st->accounts_changed; }

int qvs_env_handed(qvs_store *st, int64_t dev, uint64_t pos) {
    if (!st) return -1;
    return atomically(st, "env_handed", [&] {
        stmt q(st, "UPDATE devices SET handed = ?2 WHERE dev = ?1 AND handed < ?2");
        return q.s && q.i64(1, dev) && q.i64(2, static_cast<int64_t>(pos > INT64_MAX ? INT64_MAX : pos)) && q.done() ? 0 : -1;
    });
}

int qvs_env_handed_upto(qvs_store *st, int64_t dev, uint64_t *out) {
    if (!st || !out) return -1;
    stmt q(st, "SELECT handed FROM devices WHERE dev = ?1");
    if (!q.s || !q.i64(1, dev) || sqlite3_step(q.s) != SQLITE_ROW) return -1;
    *out = static_cast<uint64_t>(sqlite3_column_int64(q.s, 0));
    return 0;
}

/* ---- group keys, read marks, revocation, key requests, presence, history ---- */

int qvs_conv_rekey(qvs_store *st, const uint8_t conv_id[16], const std::vector<qvs_conv_member> &members,
                   const std::vector<qvs_conv_devkey> &devkeys) {
    if (!st || !conv_id || members.empty()) return -1;
    return atomically(st, "conv_rekey", [&] {
        stmt have(st, "SELECT 1 FROM convs WHERE conv_id = ?1");
        if (!have.s || !have.blob(1, conv_id, 16)) return -1;
        int r = sqlite3_step(have.s);
        if (r == SQLITE_DONE) return 1;
        if (r != SQLITE_ROW) return -1;
        std::vector<qvs_conv_member> was, now = members;
        if (qvs_conv_members(st, conv_id, &was) != 0) return -1;
        std::vector<std::vector<uint8_t>> before;
        for (const qvs_conv_member &m : was) before.emplace_back(m.user_id, m.user_id + 16);
        // Roles stay with the members who stay; a newcomer has none; a set left
        // without an admin or moderator gets its first member as admin.
        bool led = false;
        for (qvs_conv_member &m : now) {
            m.role = 0;
            for (const qvs_conv_member &w : was)
                if (std::memcmp(w.user_id, m.user_id, 16) == 0) m.role = w.role;
            led = led || m.role == 1 || m.role == 2;
        }
        if (!led) now[0].role = 1;
        stmt dm(st, "DELETE FROM conv_members WHERE conv_id = ?1");
        stmt dk(st, "DELETE FROM conv_device_keys WHERE conv_id = ?1");
        if (!dm.s || !dm.blob(1, conv_id, 16) || !dm.done() || !dk.s || !dk.blob(1, conv_id, 16) || !dk.done() ||
            put_members(st, conv_id, now, devkeys) != 0)
            return -1;
        // A member taken out keeps nothing of the conversation waiting, and its
        // senders' shares of its devices are given back with it.
        for (const auto &u : before) {
            const int in = qvs_conv_is_member(st, conv_id, u.data());
            if (in < 0) return -1;
            if (in == 1) continue;
            std::vector<int64_t> devs;
            stmt dq(st, "SELECT dev FROM devices WHERE user_id = ?1");
            if (!dq.s || !dq.blob(1, u.data(), 16)) return -1;
            int r;
            while ((r = sqlite3_step(dq.s)) == SQLITE_ROW) devs.push_back(sqlite3_column_int64(dq.s, 0));
            if (r != SQLITE_DONE) return -1;
            for (int64_t dev : devs)
                if (drop_copies(st, dev, conv_id, INT64_MAX) != 0) return -1;
        }
        return 0;
    });
}

int qvs_conv_grant_put(qvs_store *st, const uint8_t conv_id[16], const uint8_t device_id[16], const uint8_t *rec, size_t len) {
    if (!st || !conv_id || !device_id || !rec || !begin(st)) return -1;
    stmt q(st, "INSERT OR REPLACE INTO conv_grants (conv_id, device_id, rec) VALUES (?1, ?2, ?3)");
    return q.s && q.blob(1, conv_id, 16) && q.blob(2, device_id, 16) && q.blob(3, rec, len) && q.done() ? 0 : -1;
}

int qvs_conv_grant_get(qvs_store *st, const uint8_t conv_id[16], const uint8_t device_id[16], std::vector<uint8_t> *out) {
    if (!st || !conv_id || !device_id || !out) return -1;
    out->clear();
    stmt q(st, "SELECT rec FROM conv_grants WHERE conv_id = ?1 AND device_id = ?2");
    if (!q.s || !q.blob(1, conv_id, 16) || !q.blob(2, device_id, 16)) return -1;
    int r = sqlite3_step(q.s);
    if (r == SQLITE_DONE) return 0;
    if (r != SQLITE_ROW) return -1;
    const auto *p = static_cast<const uint8_t *>(sqlite3_column_blob(q.s, 0));
    out->assign(p, p + sqlite3_column_bytes(q.s, 0));
    return 1;
}

int qvs_read_mark_set(qvs_store *st, const uint8_t user_id[16], const uint8_t conv_id[16], uint64_t pos) {
    if (!st || !user_id || !conv_id || pos == 0 || pos > INT64_MAX || !begin(st)) return -1;
    stmt q(st, "INSERT INTO read_marks (user_id, conv_id, pos) VALUES (?1, ?2, ?3)"
               " ON CONFLICT (user_id, conv_id) DO UPDATE SET pos = excluded.pos WHERE excluded.pos > read_marks.pos");
    if (!q.s || !q.blob(1, user_id, 16) || !q.blob(2, conv_id, 16) || !q.i64(3, static_cast<int64_t>(pos)) || !q.done()) return -1;
    return sqlite3_changes(st->db) == 1 ? 1 : 0;
}

int qvs_read_mark_get(qvs_store *st, const uint8_t user_id[16], const uint8_t conv_id[16], uint64_t *out) {
    if (!st || !user_id || !conv_id || !out) return -1;
    stmt q(st, "SELECT pos FROM read_marks WHERE user_id = ?1 AND conv_id = ?2");
    if (!q.s || !q.blob(1, user_id, 16) || !q.blob(2, conv_id, 16)) return -1;
    int r = sqlite3_step(q.s);
    if (r == SQLITE_DONE) return 0;
    if (r != SQLITE_ROW) return -1;
    *out = static_cast<uint64_t>(sqlite3_column_int64(q.s, 0));
    return 1;
}

int qvs_device_revoke(qvs_store *st, const uint8_t user_id[16], const qvs_device *d) {
    if (!st || !user_id || !d) return -1;
    st->accounts_changed = true;
    return atomically(st, "device_revoke", [&] {
        const char *steps[] = {
            "INSERT OR IGNORE INTO revoked_devices (ed25519_pub, user_id) SELECT ed25519_pub, user_id FROM devices WHERE dev = ?1",
            "DELETE FROM signed_prekeys WHERE dev = ?1",
            "DELETE FROM one_time_prekeys WHERE dev = ?1",
            "DELETE FROM key_requests WHERE dev = ?1",
            "DELETE FROM device_senders WHERE dev = ?1",
            "CREATE TEMP TABLE IF NOT EXISTS revoke_bodies (id INTEGER PRIMARY KEY)",
            "INSERT OR IGNORE INTO revoke_bodies SELECT DISTINCT body_id FROM envelopes WHERE dev = ?1",
            "DELETE FROM envelopes WHERE dev = ?1",
            ("DELETE FROM envelope_bodies WHERE id IN (SELECT id FROM revoke_bodies)"
             " AND NOT EXISTS (SELECT 1 FROM envelopes WHERE body_id = envelope_bodies.id)"),
            "DELETE FROM revoke_bodies",
            "DELETE FROM devices WHERE dev = ?1",
        };
        for (const char *sql : steps) {
            stmt q(st->db, sql);
            q.work = &st->work;
            if (!q.s || (sqlite3_bind_parameter_count(q.s) && !q.i64(1, d->row)) || !q.done()) return -1;
        }
        return sqlite3_changes(st->db) == 1 ? 0 : 1;
    });
}

int qvs_key_request_put(qvs_store *st, const qvs_key_request *kr) {
    if (!st || !kr || !begin(st)) return -1;
    stmt q(st, "INSERT OR REPLACE INTO key_requests (conv_id, device_id, user_id, dev) VALUES (?1, ?2, ?3, ?4)");
    return q.s && q.blob(1, kr->conv_id, 16) && q.blob(2, kr->device_id, 16) && q.blob(3, kr->user_id, 16) && q.i64(4, kr->dev) &&
                   q.done()
               ? 0
               : -1;
}

int qvs_key_request_drop(qvs_store *st, const uint8_t conv_id[16], const uint8_t device_id[16]) {
    if (!st || !conv_id || !device_id || !begin(st)) return -1;
    stmt q(st, "DELETE FROM key_requests WHERE conv_id = ?1 AND device_id = ?2");
    return q.s && q.blob(1, conv_id, 16) && q.blob(2, device_id, 16) && q.done() ? 0 : -1;
}

int qvs_key_requests_for(qvs_store *st, const uint8_t user_id[16], std::vector<qvs_key_request> *out) {
    if (!st || !user_id || !out) return -1;
    out->clear();
    // A requester a rekey took out of the conversation is asked for no more:
    // answering would seal the key to a device of a user no longer in it.
    stmt q(st, "SELECT k.conv_id, k.device_id, k.user_id, k.dev FROM key_requests k JOIN conv_members m ON m.conv_id = k.conv_id"
               " WHERE m.user_id = ?1 AND k.user_id != ?1"
               " AND EXISTS (SELECT 1 FROM conv_members r WHERE r.conv_id = k.conv_id AND r.user_id = k.user_id)"
               " ORDER BY k.rowid LIMIT 1024");
    if (!q.s || !q.blob(1, user_id, 16)) return -1;
    int r;
    while ((r = sqlite3_step(q.s)) == SQLITE_ROW) {
        qvs_key_request k{};
        if (!q.col(0, k.conv_id, 16) || !q.col(1, k.device_id, 16) || !q.col(2, k.user_id, 16)) return -1;
        k.dev = sqlite3_column_int64(q.s, 3);
        out->push_back(k);
    }
    return r == SQLITE_DONE ? 0 : -1;
}

int qvs_presence_set(qvs_store *st, const uint8_t user_id[16], int on) {
    if (!st || !user_id || !begin(st)) return -1;
    stmt q(st, "UPDATE accounts SET presence_public = ?2 WHERE user_id = ?1");
    return q.s && q.blob(1, user_id, 16) && q.i64(2, on ? 1 : 0) && q.done() ? 0 : -1;
}

int qvs_presence_get(qvs_store *st, const uint8_t user_id[16]) {
    if (!st || !user_id) return -1;
    stmt q(st, "SELECT presence_public FROM accounts WHERE user_id = ?1");
    if (!q.s || !q.blob(1, user_id, 16)) return -1;
    int r = sqlite3_step(q.s);
    if (r == SQLITE_DONE) return 0;
    return r == SQLITE_ROW ? (sqlite3_column_int64(q.s, 0) ? 1 : 0) : -1;
}

int qvs_user_peers(qvs_store *st, const uint8_t user_id[16], std::vector<std::vector<uint8_t>> *out) {
    if (!st || !user_id || !out) return -1;
    out->clear();
    stmt q(st, "SELECT DISTINCT o.user_id FROM conv_members m JOIN conv_members o ON o.conv_id = m.conv_id"
               " WHERE m.user_id = ?1 AND o.user_id != ?1");
    if (!q.s || !q.blob(1, user_id, 16)) return -1;
    return read_ids(q, out);
}

int qvs_history_put(qvs_store *st, const uint8_t conv_id[16], uint64_t pos, const uint8_t *env, size_t len, uint64_t keep) {
    if (!st || !conv_id || !env || pos == 0 || pos > INT64_MAX || keep == 0) return -1;
    return atomically(st, "history_put", [&] {
        stmt q(st, "INSERT OR REPLACE INTO conv_history (pos, conv_id, body) VALUES (?1, ?2, ?3)");
        if (!q.s || !q.i64(1, static_cast<int64_t>(pos)) || !q.blob(2, conv_id, 16) || !q.blob(3, env, len) || !q.done()) return -1;
        // The oldest beyond the bound go: back-fill then ends at the oldest kept.
        stmt trim(st, "DELETE FROM conv_history WHERE conv_id = ?1 AND pos <= (SELECT pos FROM conv_history WHERE conv_id = ?1"
                      " ORDER BY pos DESC LIMIT 1 OFFSET ?2)");
        return trim.s && trim.blob(1, conv_id, 16) && trim.i64(2, static_cast<int64_t>(keep > INT64_MAX ? INT64_MAX : keep)) &&
                       trim.done()
                   ? 0
                   : -1;
    });
}

int qvs_history_page(qvs_store *st, const uint8_t conv_id[16], uint64_t before, size_t limit, size_t max_bytes,
                     std::vector<qvs_envelope> *out, int *more) {
    if (!st || !conv_id || !out || !more) return -1;
    out->clear();
    *more = 0;
    stmt q(st, "SELECT pos, body FROM conv_history WHERE conv_id = ?1 AND pos < ?2 ORDER BY pos DESC LIMIT ?3");
    const int64_t b = static_cast<int64_t>(before > INT64_MAX ? INT64_MAX : before);
    if (!q.s || !q.blob(1, conv_id, 16) || !q.i64(2, b) || !q.i64(3, static_cast<int64_t>(limit) + 1)) return -1;
    int r;
    size_t total = 0;
    while ((r = sqlite3_step(q.s)) == SQLITE_ROW) {
        if (out->size() == limit || total >= max_bytes) {
            *more = 1;
            break;
        }
        qvs_envelope e;
        e.pos = static_cast<uint64_t>(sqlite3_column_int64(q.s, 0));
        std::memcpy(e.conv_id, conv_id, 16);
        const auto *p = static_cast<const uint8_t *>(sqlite3_column_blob(q.s, 1));
        e.body.assign(p, p + sqlite3_column_bytes(q.s, 1));
        total += e.body.size();
        out->push_back(std::move(e));
    }
    return r == SQLITE_DONE || *more ? 0 : -1;
}

/* ---- members added ---- */

int qvs_adds_note(qvs_store *st, const uint8_t by[16], const std::vector<std::vector<uint8_t>> &users, uint64_t now_ms) {
    if (!st || !by || now_ms > INT64_MAX) return -1;
    return atomically(st, "adds_note", [&] {
        stmt old(st, "DELETE FROM member_adds WHERE by_user = ?1 AND at_ms < ?2");
        const int64_t horizon = now_ms > QVS_ADDS_KEPT_MS ? static_cast<int64_t>(now_ms - QVS_ADDS_KEPT_MS) : 0;
        if (!old.s || !old.blob(1, by, 16) || !old.i64(2, horizon) || !old.done()) return -1;
        stmt q(st, "INSERT INTO member_adds (by_user, user_id, at_ms) VALUES (?1, ?2, ?3)");
        if (!q.s) return -1;
        for (const auto &u : users) {
            sqlite3_reset(q.s);
            if (u.size() != 16 || !q.blob(1, by, 16) || !q.blob(2, u.data(), 16) || !q.i64(3, static_cast<int64_t>(now_ms)) || !q.done())
                return -1;
        }
        return 0;
    });
}

int qvs_adds_since(qvs_store *st, const uint8_t by[16], const uint8_t *user, uint64_t since_ms, uint64_t *out) {
    if (!st || !by || !out) return -1;
    stmt q(st, user ? "SELECT count(*) FROM member_adds WHERE by_user = ?1 AND user_id = ?2 AND at_ms >= ?3"
                    : "SELECT count(*) FROM member_adds WHERE by_user = ?1 AND at_ms >= ?3");
    if (!q.s || !q.blob(1, by, 16) || (user && !q.blob(2, user, 16)) || !q.i64(3, clamp64(since_ms)) || sqlite3_step(q.s) != SQLITE_ROW)
        return -1;
    *out = static_cast<uint64_t>(sqlite3_column_int64(q.s, 0));
    return 0;
}

/* ---- registrations per address ---- */

int qvs_registrations_note(qvs_store *st, const std::vector<uint8_t> &address, uint64_t now_ms) {
    if (!st || address.empty() || now_ms > INT64_MAX) return -1;
    return atomically(st, "registrations_note", [&] {
        stmt old(st, "DELETE FROM registrations WHERE at_ms < ?1");
        const int64_t horizon = now_ms > QVS_REGISTRATIONS_KEPT_MS ? static_cast<int64_t>(now_ms - QVS_REGISTRATIONS_KEPT_MS) : 0;
        if (!old.s || !old.i64(1, horizon) || !old.done()) return -1;
        stmt q(st, "INSERT INTO registrations (address, at_ms) VALUES (?1, ?2)");
        return q.s && q.blob(1, address.data(), address.size()) && q.i64(2, static_cast<int64_t>(now_ms)) && q.done() ? 0 : -1;
    });
}

int qvs_registrations_since(qvs_store *st, const std::vector<uint8_t> &address, uint64_t since_ms, uint64_t *out) {
    if (!st || address.empty() || !out) return -1;
    stmt q(st, "SELECT count(*) FROM registrations WHERE address = ?1 AND at_ms >= ?2");
    if (!q.s || !q.blob(1, address.data(), address.size()) || !q.i64(2, clamp64(since_ms)) || sqlite3_step(q.s) != SQLITE_ROW) return -1;
    *out = static_cast<uint64_t>(sqlite3_column_int64(q.s, 0));
    return 0;
}
