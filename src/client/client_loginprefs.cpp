#include "client_loginprefs.h"

#include "client_datadir.h"
#include "n_files.h"
#include "quorvane_crypto.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t  SALT_LEN      = QV_SALT_LEN;
constexpr size_t  TAG_LEN       = QV_TAG_LEN;
constexpr uint64_t SEAL_COUNTER = 0;
constexpr size_t  PATH_BUF      = PATH_MAX;

// A stack buffer that is wiped however the scope is left.
template <size_t N> struct wiped {
    uint8_t b[N] = {};
    wiped() = default;
    wiped(const wiped &) = delete;
    wiped &operator=(const wiped &) = delete;
    ~wiped() { quorvane_cleanse(b, N); }
};

// Only names the format can hold derive a key: at most 32 bytes.
int password_key(const uint8_t *user, size_t user_len, uint8_t key[QV_KEY_LEN]) {
    if (user_len > QV_LOGINPREFS_USER_MAX) return -1;
    uint8_t in[LOGINPREFS_KEY_LABEL.size() + QV_LOGINPREFS_USER_MAX];
    memcpy(in, LOGINPREFS_KEY_LABEL.data(), LOGINPREFS_KEY_LABEL.size());
    if (user_len) memcpy(in + LOGINPREFS_KEY_LABEL.size(), user, user_len);
    wiped<QV_BLAKE2B_LEN> md;
    if (quorvane_blake2b(in, LOGINPREFS_KEY_LABEL.size() + user_len, md.b) != 0) return -1;
    memcpy(key, md.b, QV_KEY_LEN);
    return 0;
}

int flag(int32_t v) { return v != 0 ? 1 : 0; }

// Theme bytes of formats 6 to 8 counted a slot that later went away.
int32_t theme_from_byte(uint8_t format, uint8_t d) {
    if (format >= 9) return d;
    if (d == 5) return -1;
    if (d >= 6) return d - 1;
    if (d == 0 && format < 8) return -1;
    return d;
}

// Sequential writer over the fixed work buffer; the format's bounds keep it
// far from the end (static_assert in the header).
struct writer {
    uint8_t *b;
    size_t n = 0;
    void byte(int v) { b[n++] = static_cast<uint8_t>(v); }
    void bytes(const void *p, size_t len) {
        if (len) memcpy(b + n, p, len);
        n += len;
    }
    void text(const char *s, size_t len) {
        byte(static_cast<int>(len));
        bytes(s, len);
    }
};

// Reader that never runs past the end: every take checks what remains.
struct reader {
    const uint8_t *b;
    size_t len;
    size_t pos = 0;
    size_t left() const { return len - pos; }
    bool byte(uint8_t *v) {
        if (!left()) return false;
        *v = b[pos++];
        return true;
    }
};

void drop_password(quorvane_loginprefs *p) {
    quorvane_cleanse(p->password, sizeof p->password);
    p->remember_password = 0;
}

// The password block after a non-zero marker. Leaves the reader where the
// block's missing or rejected part ended; returns 1 when the data ended right
// after the tag, so the load stops there.
int read_password(reader *r, quorvane_loginprefs *p, size_t user_len) {
    if (r->left() < SALT_LEN) {
        drop_password(p);
        return 0;
    }
    const uint8_t *salt = r->b + r->pos;
    r->pos += SALT_LEN;
    if (r->left() < TAG_LEN) {
        drop_password(p);
        return 0;
    }
    const uint8_t *tag = r->b + r->pos;
    r->pos += TAG_LEN;
    uint8_t plen = 0;
    if (!r->byte(&plen)) {
        drop_password(p);
        return 1;
    }
    if (plen == 0 || r->left() < plen) {
        drop_password(p);
        return 0;
    }
    const uint8_t *ct = r->b + r->pos;
    r->pos += plen;
    if (user_len == 0) {
        drop_password(p);
        return 0;
    }
    wiped<QV_KEY_LEN> key;
    wiped<QV_LOGINPREFS_PASS_MAX + 1> pt;
    const auto *user = reinterpret_cast<const uint8_t *>(p->username);
    if (password_key(user, user_len, key.b) != 0 ||
        quorvane_msg_open(key.b, SEAL_COUNTER, salt, user, user_len, ct, plen, tag, pt.b) != 0) {
        drop_password(p);
        return 0;
    }
    memcpy(p->password, pt.b, plen);
    p->password[plen] = '\0';
    return 0;
}

// Everything after the password section, in the order the formats added it;
// the first absent field ends the load with the rest at their defaults.
void read_tail(reader *r, uint8_t format, quorvane_loginprefs *p) {
    uint8_t v = 0;
    int32_t *flags[] = {&p->link_previews, &p->presence_public, &p->notif_hide};
    for (size_t i = 0; i < 3; i++) {
        if (format < 2 + i || !r->byte(&v)) return;
        *flags[i] = v != 0;
    }
    if (format < 5 || !r->byte(&v)) return;
    size_t want = v < QV_LOGINPREFS_RECENT_MAX ? v : QV_LOGINPREFS_RECENT_MAX;
    while (static_cast<size_t>(p->recent_count) < want) {
        uint8_t l = 0;
        if (!r->byte(&l) || l == 0 || l > QV_LOGINPREFS_SERVER_MAX || r->left() < l) return;
        memcpy(p->recent[p->recent_count], r->b + r->pos, l);
        p->recent[p->recent_count][l] = '\0';
        r->pos += l;
        p->recent_count++;
    }
    if (format < 6 || !r->byte(&v)) return;
    p->theme = theme_from_byte(format, v);
    if (!r->byte(&v)) return;
    p->emoji_style = v != 0;
    if (format < 7 || !r->byte(&v)) return;
    p->auto_signin = v != 0;
    if (!r->byte(&v)) return;
    p->signed_out = v != 0;
    if (format < 8 || !r->byte(&v)) return;
    if (v > QV_LOGINPREFS_REACT_MAX || r->left() < v) return;
    memcpy(p->quick_react, r->b + r->pos, v);
    p->quick_react[v] = '\0';
    r->pos += v;
}

int parse(const uint8_t *b, size_t len, quorvane_loginprefs *p) {
    reader r{b, len};
    uint8_t format = 0, remember_user = 0, remember_password = 0, slen = 0, ulen = 0, marker = 0;
    if (!r.byte(&format) || format < 1 || format > QV_LOGINPREFS_FORMAT) return -1;
    if (!r.byte(&remember_user) || !r.byte(&remember_password) || !r.byte(&slen)) return -1;
    if (slen > QV_LOGINPREFS_SERVER_MAX || r.left() < slen) return -1;
    const uint8_t *server = b + r.pos;
    r.pos += slen;
    if (!r.byte(&ulen) || ulen > QV_LOGINPREFS_USER_MAX || r.left() < ulen) return -1;
    const uint8_t *user = b + r.pos;
    r.pos += ulen;
    if (!r.byte(&marker)) return -1;

    p->remember_user = remember_user != 0;
    p->remember_password = remember_password != 0;
    memcpy(p->server, server, slen);
    memcpy(p->username, user, ulen);
    p->link_previews = p->presence_public = p->notif_hide = 1;
    p->theme = -1;

    if (marker && read_password(&r, p, ulen) == 1) return 0;
    read_tail(&r, format, p);
    return 0;
}

}  // namespace

int quorvane_loginprefs_load(const char *path, quorvane_loginprefs *p) {
    if (!p) return -1;
    memset(p, 0, sizeof *p);
    if (!path) return -1;
    char *data = nullptr;
    size_t len = 0;
    if (!n_file_read_bounded(path, QV_LOGINPREFS_FILE_MAX - 1, &data, &len)) return -1;
    int rc = len ? parse(reinterpret_cast<const uint8_t *>(data), len, p) : -1;
    quorvane_cleanse(data, len);
    free(data);
    if (rc != 0) quorvane_cleanse(p, sizeof *p);
    return rc;
}

int quorvane_loginprefs_save(const char *path, const quorvane_loginprefs *p) {
    if (!path || !p) return -1;
    size_t slen = strnlen(p->server, QV_LOGINPREFS_SERVER_MAX);
    size_t ulen = strnlen(p->username, QV_LOGINPREFS_USER_MAX);
    size_t plen = strnlen(p->password, QV_LOGINPREFS_PASS_MAX);
    bool with_user = p->remember_user && ulen > 0;

    wiped<QV_LOGINPREFS_FILE_MAX> buf;
    writer w{buf.b};
    w.byte(QV_LOGINPREFS_FORMAT);
    w.byte(flag(p->remember_user));
    w.byte(flag(p->remember_password));
    w.text(p->server, slen);
    w.text(p->username, with_user ? ulen : 0);

    if (with_user && p->remember_password && plen > 0) {
        const auto *user = reinterpret_cast<const uint8_t *>(p->username);
        wiped<QV_KEY_LEN> key;
        uint8_t *salt = buf.b + w.n + 1;
        uint8_t *tag = salt + SALT_LEN;
        uint8_t *ct = tag + TAG_LEN + 1;
        if (password_key(user, ulen, key.b) != 0 || quorvane_random(salt, SALT_LEN) != 0 ||
            quorvane_msg_seal(key.b, SEAL_COUNTER, salt, user, ulen, reinterpret_cast<const uint8_t *>(p->password), plen,
                              ct, tag) != 0)
            return -1;
        w.byte(1);
        w.n += SALT_LEN + TAG_LEN;
        w.byte(static_cast<int>(plen));
        w.n += plen;
    } else {
        w.byte(0);
    }

    w.byte(flag(p->link_previews));
    w.byte(flag(p->presence_public));
    w.byte(flag(p->notif_hide));
    // A length byte of 0 ends the list for the loader and with it everything
    // stored after the list, so empty entries are left out rather than written.
    int32_t count = p->recent_count < 0 ? 0 : p->recent_count;
    if (count > static_cast<int32_t>(QV_LOGINPREFS_RECENT_MAX)) count = QV_LOGINPREFS_RECENT_MAX;
    size_t count_at = w.n;
    w.byte(0);
    for (int32_t i = 0; i < count; i++) {
        size_t len = strnlen(p->recent[i], QV_LOGINPREFS_SERVER_MAX);
        if (len == 0) continue;
        w.text(p->recent[i], len);
        buf.b[count_at]++;
    }
    w.byte(p->theme >= 0 && p->theme <= QV_LOGINPREFS_THEME_MAX ? p->theme : 0);
    w.byte(flag(p->emoji_style));
    w.byte(flag(p->auto_signin));
    w.byte(flag(p->signed_out));
    w.text(p->quick_react, strnlen(p->quick_react, QV_LOGINPREFS_REACT_MAX));

    return n_file_write_atomic(path, buf.b, w.n, 0600) ? 0 : -1;
}

void quorvane_loginprefs_touch_server(quorvane_loginprefs *p, const char *server) {
    if (!p || !server) return;
    size_t len = strnlen(server, QV_LOGINPREFS_SERVER_MAX + 1);
    if (len == 0 || len > QV_LOGINPREFS_SERVER_MAX) return;
    auto set_entry = [&](size_t i) {
        memcpy(p->recent[i], server, len);
        memset(p->recent[i] + len, 0, sizeof p->recent[i] - len);
    };
    if (p->recent_count <= 0) {
        set_entry(0);
        p->recent_count = 1;
        return;
    }
    size_t n = static_cast<size_t>(p->recent_count) < QV_LOGINPREFS_RECENT_MAX ? static_cast<size_t>(p->recent_count)
                                                                                 : QV_LOGINPREFS_RECENT_MAX;
    size_t at = n;
    for (size_t i = 0; i < n && at == n; i++)
        if (strncmp(p->recent[i], server, sizeof p->recent[i]) == 0) at = i;
    size_t moved;  // entries pushed down one place
    if (at < n) {
        moved = at;
    } else {
        moved = n < QV_LOGINPREFS_RECENT_MAX ? n : QV_LOGINPREFS_RECENT_MAX - 1;
        n = moved + 1;
    }
    memmove(p->recent[1], p->recent[0], moved * sizeof p->recent[0]);
    set_entry(0);
    p->recent_count = static_cast<int32_t>(n);
}

int quorvane_loginprefs_device_choices(const char *pin_path, int *notif_hide, int *presence_public) {
    if (notif_hide) *notif_hide = 1;
    if (presence_public) *presence_public = 1;
    if (!notif_hide || !presence_public) return -1;
    char path[PATH_BUF];
    if (quorvane_datadir_loginprefs_from_pin(pin_path, path, sizeof path) != 0) return -1;
    quorvane_loginprefs p;
    int rc = quorvane_loginprefs_load(path, &p);
    if (rc == 0) {
        *notif_hide = flag(p.notif_hide);
        *presence_public = flag(p.presence_public);
    }
    quorvane_cleanse(&p, sizeof p);
    return rc == 0 ? 0 : -1;
}
