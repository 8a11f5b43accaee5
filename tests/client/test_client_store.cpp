// Device key store: the "HKS1" record decoder at its size and format limits, build
// and create with key generation and signing failing step by step (OpenSSL calls
// interposed below), create/open/reseal at the store's real scrypt cost with every
// failure code told apart, memory locking and cleansing watched through VmLck, the
// public-key file at its name and size limits and under a write cut short, the
// device certificate checked by `openssl pkeyutl`, and stores exchanged in both
// directions with tests/scripts/keystore_xcheck.py.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>

#include "client_store.h"
#include "qv_test_support.h"
#include "quorvane_backup.h"
#include "quorvane_crypto.h"
#include "quorvane_keyfile.h"
#include "quorvane_x3dh.h"

using qvtest::exists;
using qvtest::file_bytes;
using qvtest::mode_of;
using qvtest::put_file;
using qvtest::read_file;
using qvtest::TempDir;
using qvtest::UmaskScope;
using qvtest::write_file;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char *kPw = "correct horse battery staple";

// ---------------------------------------------------------------------------
// Fault injection: the Nth key generation, or every signature, fails while armed.

std::atomic<int> g_fail_keygen_at{0};
std::atomic<int> g_keygen_calls{0};
std::atomic<bool> g_fail_sign{false};

struct FaultScope {
    FaultScope(int keygen_at, bool sign) {
        g_keygen_calls = 0;
        g_fail_keygen_at = keygen_at;
        g_fail_sign = sign;
    }
    ~FaultScope() {
        g_fail_keygen_at = 0;
        g_fail_sign = false;
    }
};

}  // namespace

extern "C" int EVP_PKEY_keygen(EVP_PKEY_CTX *ctx, EVP_PKEY **ppkey) {
    using fn = int (*)(EVP_PKEY_CTX *, EVP_PKEY **);
    static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "EVP_PKEY_keygen"));
    if (g_fail_keygen_at > 0 && ++g_keygen_calls == g_fail_keygen_at) return 0;
    return real(ctx, ppkey);
}

extern "C" int EVP_DigestSign(EVP_MD_CTX *ctx, unsigned char *sigret, size_t *siglen, const unsigned char *tbs,
                              size_t tbslen) {
    using fn = int (*)(EVP_MD_CTX *, unsigned char *, size_t *, const unsigned char *, size_t);
    static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "EVP_DigestSign"));
    if (g_fail_sign) return 0;
    return real(ctx, sigret, siglen, tbs, tbslen);
}

namespace {

std::string hex(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    if (n == 0) return "-";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}
template <size_t N> std::string hex(const uint8_t (&a)[N]) { return hex(a, N); }
std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }
std::string hex(const std::string &s) { return hex(reinterpret_cast<const uint8_t *>(s.data()), s.size()); }

template <size_t N> bool all_zero(const uint8_t (&a)[N]) {
    for (uint8_t v : a)
        if (v) return false;
    return true;
}

bool same(const quorvane_device_keys &a, const quorvane_device_keys &b) { return memcmp(&a, &b, sizeof a) == 0; }

// Locking is per page: each test record gets a page of its own, so that unlocking
// one never unlocks another and VmLck shows exactly what the store did.
// A page is unlocked before it is freed, so that a later record on the same page starts unlocked.
constexpr size_t kPage = 4096;
struct page_free {
    void operator()(void *p) const {
        quorvane_mem_unlock(p, kPage);
        free(p);
    }
};
using Keys = std::unique_ptr<quorvane_device_keys, page_free>;
static_assert(sizeof(quorvane_device_keys) <= kPage);

// A record full of a byte that no real store holds, so any write to it shows.
Keys marked_keys(uint8_t mark = 0x5A) {
    void *page = aligned_alloc(kPage, kPage);
    if (!page) throw std::bad_alloc();
    Keys k{new (page) quorvane_device_keys};
    memset(k.get(), mark, sizeof *k);
    return k;
}

// Every secret of the record is zero and it no longer claims a recovery key.
void expect_no_secrets(const quorvane_device_keys &k) {
    EXPECT_TRUE(all_zero(k.identity_priv));
    EXPECT_TRUE(all_zero(k.device_x25519_priv));
    EXPECT_TRUE(all_zero(k.device_ed25519_priv));
    EXPECT_TRUE(all_zero(k.recovery_key));
    EXPECT_EQ(k.has_recovery_key, 0);
}

// The record's secrets are gone and its public half is what it was.
void expect_cleansed(const quorvane_device_keys &k, const quorvane_device_keys &before) {
    expect_no_secrets(k);
    EXPECT_EQ(hex(k.identity_pub), hex(before.identity_pub));
    EXPECT_EQ(hex(k.device_x25519_pub), hex(before.device_x25519_pub));
    EXPECT_EQ(hex(k.device_ed25519_pub), hex(before.device_ed25519_pub));
    EXPECT_EQ(hex(k.device_cert), hex(before.device_cert));
}

// Locked memory of this process in kB, from /proc/self/status.
long locked_kb() {
    std::ifstream f("/proc/self/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("VmLck:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Whether this process may lock a page at all; when not, locking is skipped by design.
bool can_lock() {
    static const bool ok = [] {
        Keys probe = marked_keys();
        if (!quorvane_mem_lock(probe.get(), sizeof *probe)) return false;
        const long kb = locked_kb();
        quorvane_mem_unlock(probe.get(), sizeof *probe);
        return kb > 0;
    }();
    return ok;
}

// A plaintext of the given format byte and length over a block of recognisable bytes.
Bytes plaintext(uint8_t format, size_t len, uint8_t flag = 0) {
    Bytes p(len);
    for (size_t i = 0; i < len; i++) p[i] = static_cast<uint8_t>(i * 7 + 3);
    const uint8_t magic[4] = {'H', 'K', 'S', '1'};
    if (len >= 4) memcpy(p.data(), magic, 4);
    if (len > 4) p[4] = format;
    if (len > 7) p[5] = p[6] = p[7] = 0;
    if (len > 264) p[264] = flag;
    return p;
}

// Seals a hand-made plaintext as a store at the store's own cost.
void seal_plaintext(const std::string &path, const char *pw, const Bytes &pt) {
    ASSERT_EQ(quorvane_keyfile_seal(path.c_str(), pw, pt.data(), pt.size(), &QV_KEYSTORE_SCRYPT), 0);
}

// The key file's plaintext, read back without the store.
Bytes stored_plaintext(const std::string &path, const char *pw) {
    Bytes out(QV_KEYFILE_MAX);
    size_t n = 0;
    EXPECT_EQ(quorvane_keyfile_open(path.c_str(), pw, out.data(), out.size(), &n), 0);
    out.resize(n);
    return out;
}

// A path of exactly `len` characters under `dir`, its directories created.
std::string path_of_length(const TempDir &dir, size_t len) {
    std::string p = dir.path;
    while (len - p.size() > 201) {
        p += "/" + std::string(150, 'd');
        EXPECT_EQ(mkdir(p.c_str(), 0700) == 0 || errno == EEXIST, true) << p;
    }
    const size_t last = len - p.size() - 1;
    p.append("/").append(last, 'k');
    EXPECT_EQ(p.size(), len);
    return p;
}

// The second implementation over request lines; one word list per answer line.
std::vector<std::vector<std::string>> xcheck(const std::vector<std::string> &requests) {
    return qvtest::xcheck_words("keystore_xcheck.py", requests);
}

}  // namespace

// ---------------------------------------------------------------------------
// The record below the key file

TEST(KeystoreRecord, ParseAcceptsOnlyExactFormatsAndLeavesTheRecordOnRefusal) {
    struct Case {
        const char *name;
        Bytes pt;
        int rc;
        bool has_rk;
    };
    auto with = [](Bytes p, size_t off, std::initializer_list<uint8_t> v) {
        for (uint8_t x : v) p[off++] = x;
        return p;
    };
    const Case cases[] = {
        {"format 2 with key", plaintext(2, 297, 1), 0, true},
        {"format 2 flag 0", plaintext(2, 297, 0), 0, false},
        {"format 2 flag 2", plaintext(2, 297, 2), 0, false},
        {"format 2 flag 0xff", plaintext(2, 297, 0xFF), 0, false},
        {"format 1", plaintext(1, 264), 0, false},
        {"format 1, bytes 5-7 not zero", with(plaintext(1, 264), 5, {1, 2, 3}), 0, false},
        {"format 2, bytes 5-7 not zero", with(plaintext(2, 297, 1), 5, {0xFF, 0, 9}), 0, true},
        {"format 1 of 297", plaintext(1, 297, 1), -3, false},
        {"format 2 of 264", plaintext(2, 264), -3, false},
        {"format 2 of 296", plaintext(2, 296, 1), -3, false},
        {"format 2 of 298", plaintext(2, 298, 1), -3, false},
        {"format 1 of 263", plaintext(1, 263), -3, false},
        {"format 1 of 265", plaintext(1, 265), -3, false},
        {"empty", Bytes{}, -3, false},
        {"magic HKS2", with(plaintext(2, 297, 1), 3, {'2'}), -3, false},
        {"magic lower case", with(plaintext(2, 297, 1), 0, {'h', 'k', 's', '1'}), -3, false},
        {"format 0", plaintext(0, 264), -3, false},
        {"format 3", plaintext(3, 297, 1), -3, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto k = marked_keys();
        const auto before = *k;
        ASSERT_EQ(quorvane_client_store_parse(c.pt.empty() ? reinterpret_cast<const uint8_t *>("") : c.pt.data(),
                                              c.pt.size(), k.get()),
                  c.rc);
        if (c.rc != 0) {
            EXPECT_TRUE(same(*k, before));
            continue;
        }
        EXPECT_EQ(memcmp(k.get(), c.pt.data() + 8, QV_KEYSTORE_BLOCK_LEN), 0);
        EXPECT_EQ(k->has_recovery_key, c.has_rk ? 1 : 0);
        if (c.has_rk)
            EXPECT_EQ(hex(k->recovery_key), hex(c.pt.data() + 265, 32));
        else
            EXPECT_TRUE(all_zero(k->recovery_key));
    }
    auto k = marked_keys();
    const Bytes ok = plaintext(2, 297, 1);
    EXPECT_EQ(quorvane_client_store_parse(nullptr, 297, k.get()), -3);
    EXPECT_EQ(quorvane_client_store_parse(ok.data(), ok.size(), nullptr), -3);
}

TEST(KeystoreRecord, SerialiseWritesFormat2AndNoStaleRecoveryKey) {
    auto k = marked_keys();
    for (size_t i = 0; i < sizeof *k; i++) reinterpret_cast<uint8_t *>(k.get())[i] = static_cast<uint8_t>(i * 5 + 1);
    struct Case {
        uint8_t flag;
        uint8_t stored_flag;
    } cases[] = {{1, 1}, {0, 0}, {7, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(int{c.flag});
        k->has_recovery_key = c.flag;
        uint8_t out[QV_KEYSTORE_LEN];
        ASSERT_EQ(quorvane_client_store_serialise(k.get(), out), 0);
        EXPECT_EQ(hex(out, 8), hex(std::string("HKS1\x02\0\0\0", 8)));
        EXPECT_EQ(memcmp(out + 8, k.get(), QV_KEYSTORE_BLOCK_LEN), 0);
        EXPECT_EQ(out[264], c.stored_flag);
        EXPECT_EQ(hex(out + 265, 32), c.stored_flag ? hex(k->recovery_key) : hex(Bytes(32, 0)));
        // and it reads back as it was written
        auto back = marked_keys();
        ASSERT_EQ(quorvane_client_store_parse(out, sizeof out, back.get()), 0);
        EXPECT_EQ(memcmp(back.get(), k.get(), QV_KEYSTORE_BLOCK_LEN), 0);
        EXPECT_EQ(back->has_recovery_key, c.stored_flag);
    }
    uint8_t out[QV_KEYSTORE_LEN];
    EXPECT_EQ(quorvane_client_store_serialise(nullptr, out), -3);
}

// ---------------------------------------------------------------------------
// Build

TEST(KeystoreBuild, SameSeedGivesSameIdentityAndFreshDeviceKeys) {
    uint8_t seed[32];
    for (int i = 0; i < 32; i++) seed[i] = static_cast<uint8_t>(0xC0 + i);
    uint8_t seed_pub[32];
    ASSERT_EQ(quorvane_ed25519_pub_from_seed(seed, seed_pub), 0);

    auto a = marked_keys(), b = marked_keys(), c = marked_keys();
    ASSERT_EQ(quorvane_client_store_build(seed, a.get()), 0);
    ASSERT_EQ(quorvane_client_store_build(seed, b.get()), 0);
    ASSERT_EQ(quorvane_client_store_build(nullptr, c.get()), 0);
    EXPECT_EQ(hex(a->identity_priv), hex(seed));
    EXPECT_EQ(hex(a->identity_pub), hex(seed_pub));
    EXPECT_EQ(hex(b->identity_pub), hex(seed_pub));
    EXPECT_NE(hex(c->identity_pub), hex(seed_pub));
    EXPECT_NE(hex(a->device_x25519_priv), hex(b->device_x25519_priv));
    EXPECT_NE(hex(a->device_ed25519_priv), hex(b->device_ed25519_priv));
    for (const auto *k : {a.get(), b.get(), c.get()}) {
        // a marked record carried a stale recovery key: build drops it
        EXPECT_EQ(k->has_recovery_key, 0);
        EXPECT_TRUE(all_zero(k->recovery_key));
        uint8_t pub[32];
        ASSERT_EQ(quorvane_ed25519_pub_from_seed(k->device_ed25519_priv, pub), 0);
        EXPECT_EQ(hex(pub), hex(k->device_ed25519_pub));
        EXPECT_EQ(quorvane_device_cert_verify(k->identity_pub, k->device_x25519_pub, k->device_ed25519_pub,
                                              k->device_cert),
                  0);
    }
    // the seed may be the record's own identity secret, as when it is rebuilt in place
    ASSERT_EQ(quorvane_client_store_build(a->identity_priv, a.get()), 0);
    EXPECT_EQ(hex(a->identity_pub), hex(seed_pub));
    EXPECT_EQ(quorvane_client_store_build(seed, nullptr), -3);
}

TEST(KeystoreBuild, EachFailingStepWipesTheSecretsAndUnlocks) {
    qvtest::LogCapture quiet;
    uint8_t seed[32];
    memset(seed, 0x11, sizeof seed);
    struct Case {
        const char *name;
        bool seeded;
        int keygen_at;
        bool sign;
        const char *logged;  // the step that failed, as the curve layer names it
    } cases[] = {
        {"identity key generation", false, 1, false, "n_ed25519_keypair: keygen failed"},
        {"device X25519 generation", false, 2, false, "n_x25519_keypair: keygen failed"},
        {"device Ed25519 generation", false, 3, false, "n_ed25519_keypair: keygen failed"},
        {"certificate signature", false, 0, true, "n_ed25519_sign: sign failed"},
        {"seeded: device X25519 generation", true, 1, false, "n_x25519_keypair: keygen failed"},
        {"seeded: device Ed25519 generation", true, 2, false, "n_ed25519_keypair: keygen failed"},
        {"seeded: certificate signature", true, 0, true, "n_ed25519_sign: sign failed"},
    };
    const bool lockable = can_lock();
    const long base = locked_kb();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto k = marked_keys();
        k->has_recovery_key = 1;
        (void)quorvane_mem_lock(k.get(), sizeof *k);  // as the caller does before build
        if (lockable) {
            EXPECT_GT(locked_kb(), base);
        }
        quiet.clear();
        int rc;
        {
            FaultScope fault(c.keygen_at, c.sign);
            rc = quorvane_client_store_build(c.seeded ? seed : nullptr, k.get());
        }
        EXPECT_EQ(rc, -1);
        EXPECT_TRUE(quiet.contains(c.logged)) << quiet.text();
        expect_no_secrets(*k);
        if (lockable) {
            EXPECT_EQ(locked_kb(), base);
        }
    }
}

// ---------------------------------------------------------------------------
// Create, persist, reseal, open at the real cost

TEST(KeystoreCreate, FailureLeavesNoFileAndNoSecrets) {
    qvtest::LogCapture quiet;
    TempDir dir;
    struct Case {
        const char *name;
        std::string path;
        int keygen_at;
        int rc;
    } cases[] = {
        {"key generation fails", dir.file("device.keys"), 2, -1},
        {"directory missing", dir.file("gone/device.keys"), 0, -1},
        {"path too long for the key file", path_of_length(dir, QV_KEYFILE_PATH_MAX), 0, -3},
    };
    const bool lockable = can_lock();
    const long base = locked_kb();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto k = marked_keys();
        int rc;
        {
            FaultScope fault(c.keygen_at, false);
            rc = quorvane_client_store_create(c.path.c_str(), kPw, k.get());
        }
        EXPECT_EQ(rc, c.rc);
        EXPECT_FALSE(exists(c.path));
        EXPECT_FALSE(exists(c.path + ".tmp"));
        expect_no_secrets(*k);
        if (lockable) {
            EXPECT_EQ(locked_kb(), base);
        }
    }
}

TEST(KeystoreCreate, CreateOpenResealRoundTrip) {
    TempDir dir;
    const std::string path = dir.file("device.keys");
    const UmaskScope um(0);
    auto made = marked_keys();
    EXPECT_EQ(quorvane_client_store_exists(path.c_str()), 0);
    ASSERT_EQ(quorvane_client_store_create(path.c_str(), kPw, made.get()), 0);
    EXPECT_EQ(quorvane_client_store_exists(path.c_str()), 1);
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(made->has_recovery_key, 0);
    const Bytes first = stored_plaintext(path, kPw);
    EXPECT_EQ(first.size(), QV_KEYSTORE_LEN);

    auto opened = marked_keys();
    ASSERT_EQ(quorvane_client_store_open(path.c_str(), kPw, opened.get()), 0);
    EXPECT_TRUE(same(*opened, *made));

    // a new recovery key and password: reseal replaces, the old password stops working
    ASSERT_EQ(quorvane_rk_generate(made->recovery_key), 0);
    made->has_recovery_key = 1;
    ASSERT_EQ(quorvane_client_store_reseal(path.c_str(), "new password", made.get()), 0);
    EXPECT_EQ(mode_of(path), 0600u);
    auto again = marked_keys();
    ASSERT_EQ(quorvane_client_store_open(path.c_str(), "new password", again.get()), 0);
    EXPECT_TRUE(same(*again, *made));
    EXPECT_EQ(again->has_recovery_key, 1);

    auto wrong = marked_keys();
    const auto before = *wrong;
    EXPECT_EQ(quorvane_client_store_open(path.c_str(), kPw, wrong.get()), -2);
    EXPECT_TRUE(same(*wrong, before));
    quorvane_device_keys_cleanse(made.get());
    quorvane_device_keys_cleanse(opened.get());
    quorvane_device_keys_cleanse(again.get());
    quorvane_device_keys_cleanse(wrong.get());
}

// ---------------------------------------------------------------------------
// A directory sync that fails after the rename. The subject: started with
// QV_KEYSTORE_SUBJECT set (under strace), this binary creates the store at
// QV_KEYSTORE_SUBJECT_PATH, or opens it with kPw and reseals it under "new
// password", writes the identity public key it then holds to
// QV_KEYSTORE_SUBJECT_OUT, and exits with the call's result negated.

int keystore_subject(const char *op, const char *path, const char *out) {
    auto k = marked_keys();
    int rc = -100;
    if (strcmp(op, "create") == 0) {
        rc = quorvane_client_store_create(path, kPw, k.get());
    } else if (strcmp(op, "reseal") == 0) {
        rc = quorvane_client_store_open(path, kPw, k.get());
        if (rc == 0) rc = quorvane_client_store_reseal(path, "new password", k.get());
    }
    write_file(out, hex(k->identity_pub));
    quorvane_device_keys_cleanse(k.get());
    return -rc;
}

const int keystore_subject_hook = [] {
    const char *op = getenv("QV_KEYSTORE_SUBJECT"), *path = getenv("QV_KEYSTORE_SUBJECT_PATH"),
               *out = getenv("QV_KEYSTORE_SUBJECT_OUT");
    if (op && path && out) _exit(keystore_subject(op, path, out));
    return 0;
}();

// Every sync of the store's directory fails. The key file is renamed into
// place all the same, so create and reseal report success, and the store
// opens with the password they were given (and the old one no longer works):
// a password change reported failed while the disk holds the new password,
// or a created store whose keys were wiped on "failure", is what this rules out.
TEST(KeystoreDurability, FailedDirectorySyncReportsWhatAReopenFinds) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    struct Case {
        const char *op;
        const char *now_opens_with;
        const char *refused;  // a password that must no longer open, or null
    } cases[] = {{"create", kPw, nullptr}, {"reseal", "new password", kPw}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.op);
        TempDir work, dir;
        const std::string path = dir.file("device.keys"), out = work.file("identity");
        if (strcmp(c.op, "reseal") == 0) {
            auto k = marked_keys();
            ASSERT_EQ(quorvane_client_store_create(path.c_str(), kPw, k.get()), 0);
            quorvane_device_keys_cleanse(k.get());
        }
        qvtest::Traced t = qvtest::run_self_traced(
            work, {std::string("QV_KEYSTORE_SUBJECT=") + c.op, "QV_KEYSTORE_SUBJECT_PATH=" + path,
                   "QV_KEYSTORE_SUBJECT_OUT=" + out},
            {dir.path}, {"fsync:error=EIO"});
        EXPECT_NE(t.log.find("(INJECTED)"), std::string::npos) << t.log;
        EXPECT_EQ(t.status, 0) << t.log;
        EXPECT_EQ(qvtest::names_in(dir.path), std::vector<std::string>{"device.keys"});
        auto k = marked_keys();
        ASSERT_EQ(quorvane_client_store_open(path.c_str(), c.now_opens_with, k.get()), 0);
        EXPECT_EQ(hex(k->identity_pub), read_file(out)) << "the subject kept the keys it stored";
        quorvane_device_keys_cleanse(k.get());
        if (c.refused) {
            auto w = marked_keys();
            EXPECT_EQ(quorvane_client_store_open(path.c_str(), c.refused, w.get()), -2);
        }
    }
}

TEST(KeystoreCreate, ExistingPathIsNeverOverwrittenByCreateOrPersist) {
    TempDir dir;
    auto k = marked_keys();
    ASSERT_EQ(quorvane_client_store_build(nullptr, k.get()), 0);
    const std::string store = dir.file("device.keys");
    put_file(store, Bytes{'o', 'l', 'd'});
    const std::string dangling = dir.file("dangling.keys");
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dangling.c_str()), 0);
    const std::string unreadable = dir.file("unreadable.keys");
    put_file(unreadable, Bytes{'o', 'l', 'd'});
    ASSERT_EQ(chmod(unreadable.c_str(), 0), 0);
    const std::string subdir = dir.file("a-directory");
    ASSERT_EQ(mkdir(subdir.c_str(), 0700), 0);

    for (const auto &p : {store, dangling, unreadable, subdir}) {
        SCOPED_TRACE(p);
        struct stat st0;
        ASSERT_EQ(lstat(p.c_str(), &st0), 0);
        auto c = marked_keys();
        const auto cb = *c;
        EXPECT_EQ(quorvane_client_store_persist(p.c_str(), kPw, k.get()), -3);
        EXPECT_EQ(quorvane_client_store_create(p.c_str(), kPw, c.get()), -3);
        EXPECT_TRUE(same(*c, cb));
        struct stat st1;
        ASSERT_EQ(lstat(p.c_str(), &st1), 0);
        EXPECT_EQ(st1.st_ino, st0.st_ino);
        EXPECT_EQ(st1.st_mode, st0.st_mode);
        EXPECT_FALSE(exists(p + ".tmp"));
    }
    EXPECT_EQ(qvtest::read_file(store), "old");
    char target[256];
    EXPECT_GT(readlink(dangling.c_str(), target, sizeof target), 0);

    // reseal is the way to replace a store
    ASSERT_EQ(quorvane_client_store_reseal(store.c_str(), kPw, k.get()), 0);
    auto back = marked_keys();
    ASSERT_EQ(quorvane_client_store_open(store.c_str(), kPw, back.get()), 0);
    EXPECT_TRUE(same(*back, *k));

    EXPECT_EQ(quorvane_client_store_persist(nullptr, kPw, k.get()), -3);
    EXPECT_EQ(quorvane_client_store_persist("", kPw, k.get()), -3);
    EXPECT_EQ(quorvane_client_store_persist(dir.file("x").c_str(), nullptr, k.get()), -3);
    EXPECT_EQ(quorvane_client_store_persist(dir.file("x").c_str(), kPw, nullptr), -3);
    EXPECT_EQ(quorvane_client_store_reseal(store.c_str(), nullptr, k.get()), -3);
    EXPECT_EQ(quorvane_client_store_create(dir.file("x").c_str(), kPw, nullptr), -3);
    EXPECT_FALSE(exists(dir.file("x")));
}

TEST(KeystoreCreate, EmptyPasswordRefusedByResealPassedOnByPersist) {
    TempDir dir;
    auto k = marked_keys();
    ASSERT_EQ(quorvane_client_store_build(nullptr, k.get()), 0);
    const std::string path = dir.file("device.keys");
    EXPECT_EQ(quorvane_client_store_reseal(path.c_str(), "", k.get()), -3);
    EXPECT_FALSE(exists(path));
    ASSERT_EQ(quorvane_client_store_persist(path.c_str(), "", k.get()), 0);
    const Bytes sealed = file_bytes(path);
    EXPECT_EQ(quorvane_client_store_reseal(path.c_str(), "", k.get()), -3);
    EXPECT_EQ(file_bytes(path), sealed);
    auto back = marked_keys();
    ASSERT_EQ(quorvane_client_store_open(path.c_str(), "", back.get()), 0);
    EXPECT_TRUE(same(*back, *k));
    EXPECT_EQ(quorvane_client_store_open(path.c_str(), "x", back.get()), -2);
}

TEST(KeystoreOpen, OnlyAWrongPasswordOrDamagedBodyGivesMinus2) {
    TempDir dir;
    auto k = marked_keys();
    ASSERT_EQ(quorvane_client_store_build(nullptr, k.get()), 0);
    const std::string good = dir.file("good.keys");
    ASSERT_EQ(quorvane_client_store_persist(good.c_str(), kPw, k.get()), 0);
    const Bytes sealed = file_bytes(good);

    Bytes damaged = sealed;
    damaged[QV_KEYFILE_HDR_LEN + 100] ^= 1;
    put_file(dir.file("damaged.keys"), damaged);
    put_file(dir.file("cut.keys"), Bytes(sealed.begin(), sealed.end() - 1));
    put_file(dir.file("short.keys"), Bytes(sealed.begin(), sealed.begin() + 10));
    Bytes bad_magic = sealed;
    bad_magic[0] ^= 0x20;
    put_file(dir.file("badmagic.keys"), bad_magic);
    seal_plaintext(dir.file("long.keys"), kPw, plaintext(2, 298, 1));
    seal_plaintext(dir.file("v1of297.keys"), kPw, plaintext(1, 297, 1));
    seal_plaintext(dir.file("v2of264.keys"), kPw, plaintext(2, 264));
    seal_plaintext(dir.file("magic.keys"), kPw, [] {
        Bytes p = plaintext(2, 297, 1);
        p[0] = 'Q';
        return p;
    }());
    seal_plaintext(dir.file("format3.keys"), kPw, plaintext(3, 297, 1));

    struct Case {
        const char *name;
        std::string file;
        const char *pw;
        int rc;
    } cases[] = {
        {"wrong password", "good.keys", "Correct horse battery staple", -2},
        {"damaged body", "damaged.keys", kPw, -2},
        {"missing file", "none.keys", kPw, -1},
        {"short file", "short.keys", kPw, -1},
        {"file cut by a byte", "cut.keys", kPw, -1},
        {"key file magic", "badmagic.keys", kPw, -3},
        {"stored plaintext longer than 297", "long.keys", kPw, -3},
        {"format 1 of 297 bytes", "v1of297.keys", kPw, -3},
        {"format 2 of 264 bytes", "v2of264.keys", kPw, -3},
        {"store magic", "magic.keys", kPw, -3},
        {"format 3", "format3.keys", kPw, -3},
        {"directory", "", kPw, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = marked_keys();
        const auto before = *r;
        EXPECT_EQ(quorvane_client_store_open(dir.file(c.file).c_str(), c.pw, r.get()), c.rc);
        EXPECT_TRUE(same(*r, before));
        quorvane_device_keys_cleanse(r.get());
    }
    auto r = marked_keys();
    EXPECT_EQ(quorvane_client_store_open(nullptr, kPw, r.get()), -3);
    EXPECT_EQ(quorvane_client_store_open(good.c_str(), nullptr, r.get()), -3);
    EXPECT_EQ(quorvane_client_store_open(good.c_str(), kPw, nullptr), -3);
}

TEST(KeystoreOpen, OlderFormatAndOddFlagOpenWithoutRecoveryKey) {
    TempDir dir;
    auto k = marked_keys();
    ASSERT_EQ(quorvane_client_store_build(nullptr, k.get()), 0);
    uint8_t v2[QV_KEYSTORE_LEN];
    ASSERT_EQ(quorvane_client_store_serialise(k.get(), v2), 0);

    // format 1: the first 264 bytes under format byte 1
    Bytes v1(v2, v2 + QV_KEYSTORE_V1_LEN);
    v1[4] = 1;
    const std::string old_path = dir.file("old.keys");
    seal_plaintext(old_path, kPw, v1);
    auto r = marked_keys();
    ASSERT_EQ(quorvane_client_store_open(old_path.c_str(), kPw, r.get()), 0);
    EXPECT_TRUE(same(*r, *k));
    EXPECT_EQ(r->has_recovery_key, 0);
    // written again it becomes format 2
    ASSERT_EQ(quorvane_client_store_reseal(old_path.c_str(), kPw, r.get()), 0);
    const Bytes now = stored_plaintext(old_path, kPw);
    ASSERT_EQ(now.size(), QV_KEYSTORE_LEN);
    EXPECT_EQ(now[4], 2);
    EXPECT_EQ(hex(now), hex(v2, sizeof v2));

    // format 2 whose flag byte is 2 carries a key that is not taken
    Bytes odd(v2, v2 + sizeof v2);
    odd[264] = 2;
    for (size_t i = 265; i < odd.size(); i++) odd[i] = 0xEE;
    const std::string odd_path = dir.file("odd.keys");
    seal_plaintext(odd_path, kPw, odd);
    auto o = marked_keys();
    ASSERT_EQ(quorvane_client_store_open(odd_path.c_str(), kPw, o.get()), 0);
    EXPECT_EQ(o->has_recovery_key, 0);
    EXPECT_TRUE(all_zero(o->recovery_key));
    EXPECT_EQ(memcmp(o.get(), k.get(), QV_KEYSTORE_BLOCK_LEN), 0);
}

// ---------------------------------------------------------------------------
// Secrets in memory

TEST(KeystoreSecrets, RecordIsLockedWhileItHoldsSecretsAndCleanseWipesThem) {
    // Without permission to lock, or under a sanitizer that turns mlock into a no-op,
    // only the wiping can be seen.
    const bool lockable = can_lock();
    TempDir dir;
    const std::string path = dir.file("device.keys");
    const long base = locked_kb();
    auto locked = [&] { return !lockable || locked_kb() > base; };
    auto unlocked = [&] { return !lockable || locked_kb() == base; };
    if (!lockable) fprintf(stderr, "note: memory locking is not observable here; only the wiping is checked\n");
    auto k = marked_keys();
    ASSERT_EQ(quorvane_client_store_create(path.c_str(), kPw, k.get()), 0);
    EXPECT_TRUE(locked());
    ASSERT_EQ(quorvane_rk_generate(k->recovery_key), 0);
    k->has_recovery_key = 1;
    const auto held = *k;
    quorvane_device_keys_cleanse(k.get());
    EXPECT_TRUE(unlocked());
    expect_cleansed(*k, held);
    quorvane_device_keys_cleanse(k.get());  // twice is harmless
    quorvane_device_keys_cleanse(nullptr);
    expect_cleansed(*k, held);

    // open locks before it reads; a wrong password leaves the record locked and as it was
    auto r = marked_keys();
    const auto rb = *r;
    EXPECT_EQ(quorvane_client_store_open(path.c_str(), "wrong", r.get()), -2);
    EXPECT_TRUE(locked());
    EXPECT_TRUE(same(*r, rb));
    ASSERT_EQ(quorvane_client_store_open(path.c_str(), kPw, r.get()), 0);
    EXPECT_TRUE(locked());
    const auto opened = *r;
    quorvane_device_keys_cleanse(r.get());
    EXPECT_TRUE(unlocked());
    expect_cleansed(*r, opened);
}

// ---------------------------------------------------------------------------
// Public-key file

TEST(KeystorePub, WrittenThroughTmpWithDefaultModeAndReadBackExactly) {
    TempDir dir;
    auto k = marked_keys();
    ASSERT_EQ(quorvane_client_store_build(nullptr, k.get()), 0);
    const std::string path = dir.file("device.keys"), pub = path + ".pub";
    {
        const UmaskScope um(027);
        ASSERT_EQ(quorvane_client_store_write_pub(path.c_str(), k.get()), 0);
    }
    EXPECT_EQ(mode_of(pub), 0640u);  // the default creation mode, not a key file's 0600
    EXPECT_FALSE(exists(pub + ".tmp"));
    EXPECT_EQ(hex(file_bytes(pub)), hex(k->device_x25519_pub) + hex(k->device_ed25519_pub));
    uint8_t x[32], e[32];
    ASSERT_EQ(quorvane_client_store_read_pub(path.c_str(), x, e), 0);
    EXPECT_EQ(hex(x), hex(k->device_x25519_pub));
    EXPECT_EQ(hex(e), hex(k->device_ed25519_pub));

    struct Case {
        size_t len;
        int rc;
    } sizes[] = {{0, -1}, {63, -1}, {64, 0}, {65, -1}, {4096, -1}};
    for (const auto &c : sizes) {
        SCOPED_TRACE(c.len);
        Bytes content(c.len);
        for (size_t i = 0; i < c.len; i++) content[i] = static_cast<uint8_t>(i + 1);
        put_file(pub, content);
        uint8_t xo[32], eo[32];
        memset(xo, 0xAA, sizeof xo);
        memset(eo, 0xAA, sizeof eo);
        ASSERT_EQ(quorvane_client_store_read_pub(path.c_str(), xo, eo), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(hex(xo), hex(content.data(), 32));
            EXPECT_EQ(hex(eo), hex(content.data() + 32, 32));
        } else {
            EXPECT_EQ(hex(xo), hex(Bytes(32, 0xAA)));
            EXPECT_EQ(hex(eo), hex(Bytes(32, 0xAA)));
        }
    }
    EXPECT_EQ(quorvane_client_store_read_pub(dir.file("none.keys").c_str(), x, e), -1);
    EXPECT_EQ(quorvane_client_store_read_pub(nullptr, x, e), -1);
    EXPECT_EQ(quorvane_client_store_write_pub(path.c_str(), nullptr), -1);
    EXPECT_EQ(quorvane_client_store_write_pub(nullptr, k.get()), -1);
}

TEST(KeystorePub, AFailedWriteNeverReplacesAGoodFile) {
    TempDir dir;
    auto k = marked_keys(), other = marked_keys();
    ASSERT_EQ(quorvane_client_store_build(nullptr, k.get()), 0);
    ASSERT_EQ(quorvane_client_store_build(nullptr, other.get()), 0);
    const std::string path = dir.file("device.keys"), pub = path + ".pub", tmp = pub + ".tmp";
    ASSERT_EQ(quorvane_client_store_write_pub(path.c_str(), k.get()), 0);
    const Bytes good = file_bytes(pub);

    // the write is cut short after 40 bytes by the file-size limit
    {
        struct rlimit old;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        struct rlimit cut = old;
        cut.rlim_cur = 40;
        auto prev = signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &cut), 0);
        const int rc = quorvane_client_store_write_pub(path.c_str(), other.get());
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, prev);
        EXPECT_EQ(rc, -1);
    }
    EXPECT_EQ(file_bytes(pub), good);
    EXPECT_FALSE(exists(tmp));

    // a temporary name that cannot be cleared (a non-empty directory)
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    put_file(tmp + "/x", Bytes{1});
    EXPECT_EQ(quorvane_client_store_write_pub(path.c_str(), other.get()), -1);
    EXPECT_EQ(file_bytes(pub), good);
    ASSERT_EQ(unlink((tmp + "/x").c_str()), 0);
    ASSERT_EQ(rmdir(tmp.c_str()), 0);

    // a stale temporary left as a link is replaced, never written through
    const std::string victim = dir.file("victim");
    put_file(victim, Bytes{'v'});
    ASSERT_EQ(symlink(victim.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(quorvane_client_store_write_pub(path.c_str(), other.get()), 0);
    EXPECT_EQ(read_file(victim), "v");
    EXPECT_EQ(hex(file_bytes(pub)), hex(other->device_x25519_pub) + hex(other->device_ed25519_pub));
    EXPECT_FALSE(exists(tmp));
}

TEST(KeystorePub, NameLimitAt1024Characters) {
    TempDir dir;
    auto k = marked_keys();
    ASSERT_EQ(quorvane_client_store_build(nullptr, k.get()), 0);
    struct Case {
        size_t path_len;  // ".pub" adds 4
        int rc;
    } cases[] = {{QV_KEYSTORE_NAME_MAX - 5, 0}, {QV_KEYSTORE_NAME_MAX - 4, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path_len);
        const std::string path = path_of_length(dir, c.path_len);
        EXPECT_EQ(quorvane_client_store_write_pub(path.c_str(), k.get()), c.rc);
        EXPECT_EQ(exists(path + ".pub"), c.rc == 0);
        EXPECT_FALSE(exists(path + ".pub.tmp"));
        uint8_t x[32], e[32];
        EXPECT_EQ(quorvane_client_store_read_pub(path.c_str(), x, e), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(hex(e), hex(k->device_ed25519_pub));
        }
    }
}

TEST(KeystoreCreate, LongestPathTheKeyFileTakes) {
    TempDir dir;
    const std::string path = path_of_length(dir, QV_KEYFILE_PATH_MAX - 1);
    auto k = marked_keys();
    ASSERT_EQ(quorvane_client_store_create(path.c_str(), kPw, k.get()), 0);
    ASSERT_EQ(quorvane_client_store_write_pub(path.c_str(), k.get()), 0);
    auto r = marked_keys();
    ASSERT_EQ(quorvane_client_store_open(path.c_str(), kPw, r.get()), 0);
    EXPECT_TRUE(same(*r, *k));
    // one character more is the key file's refusal (the create table above), before any scrypt
}

// ---------------------------------------------------------------------------
// The device certificate, checked by another implementation

TEST(KeystoreCert, VerifiesWithOpensslPkeyutl) {
    if (!qvtest::have_program("openssl")) GTEST_SKIP() << "openssl is not installed";
    TempDir dir;
    const std::string path = dir.file("device.keys");
    auto made = marked_keys(), k = marked_keys();
    ASSERT_EQ(quorvane_client_store_create(path.c_str(), kPw, made.get()), 0);
    ASSERT_EQ(quorvane_client_store_open(path.c_str(), kPw, k.get()), 0);

    static const uint8_t spki_prefix[12] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
    Bytes der(spki_prefix, spki_prefix + sizeof spki_prefix);
    der.insert(der.end(), k->identity_pub, k->identity_pub + 32);
    put_file(dir.file("id.der"), der);
    ASSERT_EQ(qvtest::run_command("openssl pkey -pubin -inform DER -in '" + dir.file("id.der") + "' -out '" +
                                  dir.file("id.pem") + "' 2>&1"),
              0);
    Bytes msg(k->device_x25519_pub, k->device_x25519_pub + 32);
    msg.insert(msg.end(), k->device_ed25519_pub, k->device_ed25519_pub + 32);
    put_file(dir.file("sig"), Bytes(k->device_cert, k->device_cert + 64));

    struct Case {
        const char *name;
        int flip;  // byte of the message to change, or -1
        bool ok;
    } cases[] = {{"as stored", -1, true}, {"X25519 key changed", 0, false}, {"Ed25519 key changed", 63, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes m = msg;
        if (c.flip >= 0) m[static_cast<size_t>(c.flip)] ^= 0x01;
        put_file(dir.file("msg"), m);
        std::string out;
        const int rc = qvtest::run_command("openssl pkeyutl -verify -pubin -inkey '" + dir.file("id.pem") +
                                               "' -rawin -in '" + dir.file("msg") + "' -sigfile '" + dir.file("sig") +
                                               "' 2>&1",
                                           &out);
        EXPECT_EQ(rc == 0, c.ok) << out;
        EXPECT_EQ(out.find("Signature Verified Successfully") != std::string::npos, c.ok) << out;
    }
}

// ---------------------------------------------------------------------------
// Both directions with the independent script

TEST(KeystoreXcheck, ScriptStoresOpenHereAndOursOpenThere) {
    TempDir dir;
    uint8_t rk[32], seed[32];
    ASSERT_EQ(quorvane_rk_generate(rk), 0);
    ASSERT_EQ(quorvane_random(seed, sizeof seed), 0);
    const std::string pw = hex(std::string(kPw));

    // script -> here
    struct Made {
        const char *name;
        std::string file;
        int format, flag;
        bool rk, seed;
        const char *password;
    } made[] = {
        {"format 2 with recovery key", "a.keys", 2, 1, true, false, kPw},
        {"format 2 flag 2", "b.keys", 2, 2, true, false, kPw},
        {"format 1 from a seed", "c.keys", 1, 0, false, true, kPw},
        {"format 2, empty password", "d.keys", 2, 0, false, false, ""},
    };
    std::vector<std::string> req;
    for (const auto &m : made)
        req.push_back("make " + dir.file(m.file) + " " + hex(std::string(m.password)) + " " +
                      std::to_string(m.format) + " " + std::to_string(m.flag) + " " + (m.rk ? hex(rk) : "-") + " " +
                      (m.seed ? hex(seed) : "-"));
    const auto got = xcheck(req);
    for (size_t i = 0; i < std::size(made); i++) {
        const auto &m = made[i];
        SCOPED_TRACE(m.name);
        ASSERT_EQ(got[i].size(), 8u);
        ASSERT_EQ(got[i][0], "OK");
        auto k = marked_keys();
        ASSERT_EQ(quorvane_client_store_open(dir.file(m.file).c_str(), m.password, k.get()), 0);
        EXPECT_EQ(hex(k->identity_priv), got[i][1]);
        EXPECT_EQ(hex(k->identity_pub), got[i][2]);
        EXPECT_EQ(hex(k->device_x25519_priv), got[i][3]);
        EXPECT_EQ(hex(k->device_x25519_pub), got[i][4]);
        EXPECT_EQ(hex(k->device_ed25519_priv), got[i][5]);
        EXPECT_EQ(hex(k->device_ed25519_pub), got[i][6]);
        EXPECT_EQ(hex(k->device_cert), got[i][7]);
        if (m.seed) {
            EXPECT_EQ(hex(k->identity_priv), hex(seed));
        }
        const bool want_rk = m.format == 2 && m.flag == 1;
        EXPECT_EQ(k->has_recovery_key, want_rk ? 1 : 0);
        EXPECT_EQ(hex(k->recovery_key), want_rk ? hex(rk) : hex(Bytes(32, 0)));
        EXPECT_EQ(quorvane_device_cert_verify(k->identity_pub, k->device_x25519_pub, k->device_ed25519_pub,
                                              k->device_cert),
                  0);
        quorvane_device_keys_cleanse(k.get());
    }

    // here -> script: a created store, one resealed with a recovery key, one rebuilt
    // around a seed, and the public-key files both ways
    auto a = marked_keys(), b = marked_keys(), c = marked_keys();
    ASSERT_EQ(quorvane_client_store_create(dir.file("ours-a.keys").c_str(), kPw, a.get()), 0);
    ASSERT_EQ(quorvane_client_store_create(dir.file("ours-b.keys").c_str(), kPw, b.get()), 0);
    memcpy(b->recovery_key, rk, 32);
    b->has_recovery_key = 1;
    ASSERT_EQ(quorvane_client_store_reseal(dir.file("ours-b.keys").c_str(), kPw, b.get()), 0);
    ASSERT_EQ(quorvane_client_store_build(seed, c.get()), 0);
    ASSERT_EQ(quorvane_client_store_persist(dir.file("ours-c.keys").c_str(), "", c.get()), 0);
    ASSERT_EQ(quorvane_client_store_write_pub(dir.file("ours-a.keys").c_str(), a.get()), 0);
    const auto back = xcheck({
        "read " + dir.file("ours-a.keys") + " " + pw,
        "read " + dir.file("ours-b.keys") + " " + pw,
        "read " + dir.file("ours-c.keys") + " -",
        "read " + dir.file("ours-a.keys") + " " + hex(std::string("not it")),
        "pub " + dir.file("ours-a.keys"),
        "write_pub " + dir.file("theirs.keys") + " " + hex(b->device_x25519_pub) + " " + hex(b->device_ed25519_pub),
    });
    const quorvane_device_keys *ours[] = {a.get(), b.get(), c.get()};
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        const auto &k = *ours[i];
        const std::vector<std::string> want = {"OK", "2", k.has_recovery_key ? "1" : "0",
                                               k.has_recovery_key ? hex(k.recovery_key) : "-", hex(k.identity_priv),
                                               hex(k.identity_pub), hex(k.device_x25519_priv),
                                               hex(k.device_x25519_pub), hex(k.device_ed25519_priv),
                                               hex(k.device_ed25519_pub), hex(k.device_cert)};
        EXPECT_EQ(back[i], want);
    }
    EXPECT_EQ(back[2][4], hex(seed));
    EXPECT_EQ(back[3], (std::vector<std::string>{"FAIL", "AUTH"}));
    EXPECT_EQ(back[4], (std::vector<std::string>{"OK", hex(a->device_x25519_pub), hex(a->device_ed25519_pub)}));
    uint8_t x[32], e[32];
    ASSERT_EQ(quorvane_client_store_read_pub(dir.file("theirs.keys").c_str(), x, e), 0);
    EXPECT_EQ(hex(x), hex(b->device_x25519_pub));
    EXPECT_EQ(hex(e), hex(b->device_ed25519_pub));
    quorvane_device_keys_cleanse(a.get());
    quorvane_device_keys_cleanse(b.get());
    quorvane_device_keys_cleanse(c.get());
}
