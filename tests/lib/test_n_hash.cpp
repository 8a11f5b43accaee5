// Hash tables: MurmurHash3 known answers and differentials against two
// independent implementations packaged by Debian (Go's twmb/murmur3 for the
// x64 variant with the tables' 64-bit seeds and x86_32, Perl's
// Digest::MurmurHash3::PurePerl for the x86 variants),
// per-table seeds, a seeded random model test against std::unordered_map,
// replacement and ownership of values, the refusals and their log lines, and
// allocation and lock failures.
#include "n_hash.h"

#include "n_log.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

using qvtest::hex_word;
using qvtest::LogCapture;
using qvtest::TempDir;
using qvtest::unhex_string;

namespace {

struct TableDeleter {
    void operator()(HASH_TABLE *t) const { destroy_ht(&t); }
};
using TablePtr = std::unique_ptr<HASH_TABLE, TableDeleter>;

struct ListDeleter {
    void operator()(LIST *l) const { list_destroy(&l); }
};
using ListPtr = std::unique_ptr<LIST, ListDeleter>;

// Restores the allocator's fault injection whatever a test does.
struct AllocFailGuard {
    ~AllocFailGuard() { n_alloc_fail_after(-1); }
};

// Our digests in the text form of the other implementations: the output
// words in order, each as fixed-width hex, run together.
std::string our_digest(const std::string &variant, uint64_t seed, const std::string &key) {
    char buf[40];
    if (variant == "x64_128") {
        uint64_t o[2];
        MurmurHash3_x64_128(key.data(), key.size(), seed, o);
        snprintf(buf, sizeof buf, "%016" PRIx64 "%016" PRIx64, o[0], o[1]);
    } else if (variant == "x86_128") {
        uint32_t o[4];
        MurmurHash3_x86_128(key.data(), key.size(), static_cast<uint32_t>(seed), o);
        snprintf(buf, sizeof buf, "%08" PRIx32 "%08" PRIx32 "%08" PRIx32 "%08" PRIx32, o[0], o[1], o[2], o[3]);
    } else {
        uint32_t o[1];
        MurmurHash3_x86_32(key.data(), key.size(), static_cast<uint32_t>(seed), o);
        snprintf(buf, sizeof buf, "%08" PRIx32, o[0]);
    }
    return buf;
}

std::string dir_of(const std::string &path) { return path.substr(0, path.rfind('/')); }

// Runs one of the independent implementations over one request a line and
// returns the words of each answer line. "go": tests/scripts/murmur_xcheck.go,
// built here against the package's Debian source directory (GOPATH mode, no
// proxy, so nothing is downloaded) into a private directory, with Go's build
// cache kept beside this test binary in the build tree. "perl":
// tests/scripts/murmur_xcheck.pl. Both are installed by scripts/deps.sh; a
// missing one fails the test, naming its package.
std::vector<std::vector<std::string>> murmur_checker(const std::string &which, const std::vector<std::string> &requests) {
    TempDir dir;
    const std::string scripts = std::string(qvtest::source_dir()) + "/tests/scripts/";
    std::string cmd;
    if (which == "go") {
        const std::string pkg = "/usr/share/gocode/src/github.com/twmb/murmur3";
        if (!qvtest::have_program("go") || !qvtest::exists(pkg + "/murmur128.go")) {
            ADD_FAILURE() << "needs golang-go and golang-github-twmb-murmur3-dev (scripts/deps.sh installs them)";
            return {};
        }
        const std::string build = "cd '" + dir.path + "' && env GO111MODULE=off GOPATH=/usr/share/gocode GOPROXY=off GOFLAGS= " +
                                  "GOENV=off GOTOOLCHAIN=local HOME='" + dir.path + "' GOCACHE='" + dir_of(qvtest::self_exe()) +
                                  "/go-cache' go build -o '" + dir.file("murmur_xcheck") + "' '" + scripts +
                                  "murmur_xcheck.go' 2>&1";
        std::string out;
        if (qvtest::run_command(build, &out) != 0) {
            ADD_FAILURE() << "building murmur_xcheck.go failed:\n" << out;
            return {};
        }
        cmd = "'" + dir.file("murmur_xcheck") + "'";
    } else {
        if (qvtest::run_command("perl -MDigest::MurmurHash3::PurePerl -e 1 2>/dev/null") != 0) {
            ADD_FAILURE() << "needs libdigest-murmurhash3-pureperl-perl (scripts/deps.sh installs it)";
            return {};
        }
        cmd = "perl '" + scripts + "murmur_xcheck.pl'";
    }
    return qvtest::command_words(cmd, requests);
}

// A pointer value that knows whether it is still alive.
struct Obj {
    int id;
};
std::set<Obj *> live_objs;
int destroy_calls = 0;

Obj *new_obj(int id) {
    Obj *o = new Obj{id};
    live_objs.insert(o);
    return o;
}
void destroy_obj(void *p) {
    Obj *o = static_cast<Obj *>(p);
    EXPECT_EQ(live_objs.erase(o), 1u) << "destroy of an object that is not alive";
    destroy_calls++;
    delete o;
}

std::vector<std::string> list_texts(const LIST *l) {
    std::vector<std::string> v;
    for (LIST_NODE *n = l ? l->start : nullptr; n; n = n->next) v.emplace_back(static_cast<char *>(n->ptr));
    return v;
}

int match_all(HASH_NODE *) { return 1; }

// Walks every bucket: each node sits in the bucket its stored hash picks, the
// stored hash is the key's hash under the table's seed, and the count adds up.
std::set<std::string> check_table(const HASH_TABLE *t) {
    std::set<std::string> keys;
    size_t count = 0;
    for (size_t i = 0; i < t->size; i++) {
        for (LIST_NODE *ln = t->hash_table[i]->start; ln; ln = ln->next) {
            const HASH_NODE *n = static_cast<const HASH_NODE *>(ln->ptr);
            uint64_t h[2];
            MurmurHash3_x64_128(n->key, strlen(n->key), t->seed, h);
            EXPECT_EQ(n->hash_value, h[0]) << n->key;
            EXPECT_EQ(n->hash_value % t->size, i) << n->key;
            EXPECT_EQ(n->key_char, 0);
            EXPECT_EQ(n->children, nullptr);
            keys.insert(n->key);
            count++;
        }
    }
    EXPECT_EQ(count, t->key_count);
    return keys;
}

// The seed formula of new_ht, written out here from its definition.
uint64_t ref_splitmix64(uint64_t x) {
    uint64_t z = x + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

/* ---------------------------------------------------------------- MurmurHash3 */

namespace {

using DigestBytes = void (*)(const void *key, uint64_t len, uint32_t seed, uint8_t *out);

// The digests as the published functions lay them out: their words in host order.
void x86_32_bytes(const void *k, uint64_t n, uint32_t s, uint8_t *o) {
    uint32_t w[1];
    MurmurHash3_x86_32(k, n, s, w);
    memcpy(o, w, sizeof w);
}
void x86_128_bytes(const void *k, uint64_t n, uint32_t s, uint8_t *o) {
    uint32_t w[4];
    MurmurHash3_x86_128(k, n, s, w);
    memcpy(o, w, sizeof w);
}
void x64_128_bytes(const void *k, uint64_t n, uint32_t s, uint8_t *o) {
    uint64_t w[2];
    MurmurHash3_x64_128(k, n, s, w);
    memcpy(o, w, sizeof w);
}

}  // namespace

// The published verification: hash {}, {0}, {0,1}, ... {0..254} with seed
// 256 - i, hash the concatenated digests with seed 0, take the first 4 bytes
// little-endian.
TEST(NHashMurmur, PublishedVerificationValues) {
    struct Case {
        const char *name;
        size_t bytes;
        DigestBytes hash;
        uint32_t expected;
    };
    const Case cases[] = {
        {"x86_32", 4, x86_32_bytes, 0xB0F57EE3},
        {"x86_128", 16, x86_128_bytes, 0xB3ECE62A},
        {"x64_128", 16, x64_128_bytes, 0x6384BA69},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t key[256];
        std::vector<uint8_t> hashes(256 * c.bytes);
        for (int i = 0; i < 256; i++) {
            key[i] = (uint8_t)i;
            c.hash(key, (uint64_t)i, (uint32_t)(256 - i), &hashes[(size_t)i * c.bytes]);
        }
        uint8_t final_digest[16];
        c.hash(hashes.data(), hashes.size(), 0, final_digest);
        uint32_t v = (uint32_t)final_digest[0] | (uint32_t)final_digest[1] << 8 | (uint32_t)final_digest[2] << 16 |
                     (uint32_t)final_digest[3] << 24;
        EXPECT_EQ(v, c.expected);
    }
}

TEST(NHashMurmur, KnownOutputs) {
    struct Case {
        const char *variant;
        std::string key;
        uint32_t seed;
        const char *digest;
    };
    const Case cases[] = {
        {"x64_128", "", 0, "00000000000000000000000000000000"},
        {"x64_128", "hello", 0, "cbd8a7b341bd9b025b1e906a48ae1d19"},
        {"x64_128", "The quick brown fox jumps over the lazy dog", 0, "e34bbc7bbc071b6c7a433ca9c49a9347"},
        {"x64_128", "I will not buy this tobacconist's, it is scratched.", 0, "d30654abbd8227e367d73523f0079673"},
        {"x86_128", "I will not buy this tobacconist's, it is scratched.", 0, "9b5b7ba2ef3f7866889adeaf00f3f98e"},
        {"x86_32", "", 0, "00000000"},
        {"x86_32", "", 1, "514e28b7"},
        {"x86_32", "", 0xffffffffu, "81f16f39"},
        {"x86_32", "I will not buy this record, it is scratched.", 0, "a8d02b9a"},
        {"x86_32", "My hovercraft is full of eels.", 25, "9638b3af"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.variant) + " \"" + c.key + "\"");
        EXPECT_EQ(our_digest(c.variant, c.seed, c.key), c.digest);
    }
}

// The table's seed is 64 bits wide: its upper half must change the hash, or
// two tables whose seeds differ only there would share their buckets.
TEST(NHashMurmur, UpperSeedBitsCount) {
    const char key[] = "conversation-id";
    uint64_t a[2], b[2];
    MurmurHash3_x64_128(key, sizeof key - 1, 7, a);
    MurmurHash3_x64_128(key, sizeof key - 1, 7 | (1ULL << 40), b);
    EXPECT_NE(a[0], b[0]);
    EXPECT_NE(a[1], b[1]);
}

// Both directions, for every variant: our digests of keys we choose, checked
// by an independent implementation, and its digests of keys and seeds it
// chooses, checked by ours. Key lengths run past two blocks so every tail
// length is covered. x86_32 is checked by both implementations; the Perl
// module takes texts, so its keys are valid UTF-8 (every byte value from 0x80
// to 0xf4 still occurs).
TEST(NHashMurmur, DifferentialAgainstIndependentImplementation) {
    struct Checker {
        const char *which;
        std::vector<const char *> variants;
    } checkers[] = {{"go", {"x64_128", "x86_32"}}, {"perl", {"x86_128", "x86_32"}}};
    std::mt19937_64 rng(20240611);
    // The Perl module hashes the UTF-8 form of a text, so its keys are
    // UTF-8: random code points of every encoded length.
    auto utf8_key = [&] {
        std::string key;
        for (size_t n = rng() % 30; n > 0; n--) {
            static const uint32_t lo[] = {0x00, 0x80, 0x800, 0xe000, 0x10000}, hi[] = {0x7f, 0x7ff, 0xd7ff, 0xffff, 0x10ffff};
            const size_t r = rng() % 5;
            const uint32_t cp = lo[r] + uint32_t(rng() % (hi[r] - lo[r] + 1));
            if (cp < 0x80) {
                key += char(cp);
            } else if (cp < 0x800) {
                key += {char(0xc0 | cp >> 6), char(0x80 | (cp & 0x3f))};
            } else if (cp < 0x10000) {
                key += {char(0xe0 | cp >> 12), char(0x80 | (cp >> 6 & 0x3f)), char(0x80 | (cp & 0x3f))};
            } else {
                key += {char(0xf0 | cp >> 18), char(0x80 | (cp >> 12 & 0x3f)), char(0x80 | (cp >> 6 & 0x3f)),
                        char(0x80 | (cp & 0x3f))};
            }
        }
        return key;
    };
    for (const auto &c : checkers) {
        SCOPED_TRACE(c.which);
        const bool utf8 = std::string(c.which) == "perl";
        std::vector<std::string> requests, expected;
        for (int i = 0; i < 1000; i++) {
            std::string key = utf8 ? utf8_key() : std::string(rng() % 70, '\0');
            if (!utf8)
                for (auto &ch : key) ch = (char)(rng() & 0xff);
            const std::string variant = c.variants[i % c.variants.size()];
            const uint64_t seed = i % 5 == 0 ? 0 : variant == "x64_128" ? rng() : rng() & 0xffffffffu;
            requests.push_back("hash " + variant + " " + std::to_string(seed) + " " + hex_word(key));
            expected.push_back(our_digest(variant, seed, key));
        }
        const size_t ours = requests.size();
        for (int i = 0; i < 1000; i++) requests.push_back(std::string("gen ") + c.variants[i % c.variants.size()]);
        const auto answers = murmur_checker(c.which, requests);
        ASSERT_EQ(answers.size(), requests.size());
        for (size_t i = 0; i < ours; i++) {
            ASSERT_EQ(answers[i].size(), 1u) << requests[i];
            EXPECT_EQ(answers[i][0], expected[i]) << requests[i];
        }
        for (size_t i = ours; i < requests.size(); i++) {
            const auto &a = answers[i];
            ASSERT_EQ(a.size(), 3u) << requests[i];
            EXPECT_EQ(our_digest(requests[i].substr(4), std::stoull(a[0]), unhex_string(a[1])), a[2]) << requests[i] << " " << a[0] << " " << a[1];
        }
    }
}

// The tables' own variant: one 64-bit seed starts both halves. The other
// implementation first shows it is the published algorithm by its
// verification value; then both directions, every seed with its upper half
// set, keys of every tail length over 0-2 blocks.
TEST(NHashMurmur, SixtyFourBitSeedsAgainstIndependentImplementation) {
    std::mt19937_64 rng(20250611);
    auto full_seed = [&] {
        uint64_t s;
        do s = rng();
        while ((s >> 32) == 0);
        return s;
    };
    std::vector<std::string> requests{"verify"}, expected{"6384ba69"};
    for (uint64_t seed : {1ULL << 32, 0xFFFFFFFF00000000ULL, ~0ULL, 0x8000000000000001ULL}) {
        requests.push_back("hash x64_128 " + std::to_string(seed) + " " + hex_word(std::string("conversation-id")));
        expected.push_back(our_digest("x64_128", seed, "conversation-id"));
    }
    for (size_t len = 0; len < 48; len++) {
        for (int k = 0; k < 8; k++) {
            std::string key(len, '\0');
            for (auto &ch : key) ch = (char)(rng() & 0xff);
            const uint64_t seed = full_seed();
            requests.push_back("hash x64_128 " + std::to_string(seed) + " " + hex_word(key));
            expected.push_back(our_digest("x64_128", seed, key));
        }
    }
    const size_t ours_count = requests.size();
    for (int i = 0; i < 400; i++) requests.push_back("gen x64_128");

    const auto answers = murmur_checker("go", requests);
    ASSERT_EQ(answers.size(), requests.size());
    for (size_t i = 0; i < ours_count; i++) {
        ASSERT_EQ(answers[i].size(), 1u) << requests[i];
        EXPECT_EQ(answers[i][0], expected[i]) << requests[i];
    }
    size_t upper = 0;
    for (size_t i = ours_count; i < requests.size(); i++) {
        const auto &a = answers[i];
        ASSERT_EQ(a.size(), 3u) << i;
        const uint64_t seed = std::stoull(a[0]);
        upper += (seed >> 32) != 0;
        EXPECT_EQ(our_digest("x64_128", seed, unhex_string(a[1])), a[2]) << a[0] << " " << a[1];
    }
    EXPECT_GT(upper, 350u) << "its own seeds use all 64 bits";
}

/* ---------------------------------------------------------------- Seeds */

TEST(NHashSeed, EachTableDerivesItsOwnSeedFromTheProcessKey) {
    ASSERT_EQ(ref_splitmix64(0), 0xE220A8397B1DCDAFULL);  // the generator's published first output
    TablePtr a{new_ht(1024)}, b{new_ht(1024)};
    ASSERT_TRUE(a && b);
    EXPECT_EQ(b->seed, ref_splitmix64(_ht_process_key ^ ref_splitmix64(_ht_table_counter)));
    EXPECT_EQ(a->seed, ref_splitmix64(_ht_process_key ^ ref_splitmix64(_ht_table_counter - 1)));
    EXPECT_NE(a->seed, b->seed);

    // The same keys mostly land in different buckets of the two tables.
    int differ = 0;
    for (int i = 0; i < 64; i++) {
        std::string k = "user-" + std::to_string(i);
        ASSERT_EQ(ht_put_int(a.get(), k.c_str(), i), 1);
        ASSERT_EQ(ht_put_int(b.get(), k.c_str(), i), 1);
        differ += ht_get_node(a.get(), k.c_str())->hash_value % 1024 != ht_get_node(b.get(), k.c_str())->hash_value % 1024;
    }
    EXPECT_GT(differ, 48);
}

TEST(NHashSeed, TablesCreatedOnManyThreadsNeverShareASeed) {
    constexpr int kThreads = 8, kPerThread = 200;
    std::vector<std::vector<uint64_t>> seeds(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([t, &seeds] {
            for (int i = 0; i < kPerThread; i++) {
                HASH_TABLE *h = new_ht(1);
                if (!h) return;
                seeds[t].push_back(h->seed);
                destroy_ht(&h);
            }
        });
    for (auto &th : threads) th.join();
    std::set<uint64_t> all;
    for (const auto &v : seeds) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), (size_t)kThreads * kPerThread);
}

// A relock of the counter's lock by its own holder is reported and the table
// is made anyway; the holder's lock is not released behind its back.
TEST(NHashSeed, LockFailureIsLoggedAndCreationGoesOn) {
    LogCapture log;
    TablePtr before{new_ht(8)};
    ASSERT_EQ(pthread_mutex_lock(&_ht_counter_lock), 0);
    HASH_TABLE *raw = new_ht(8);
    EXPECT_EQ(pthread_mutex_unlock(&_ht_counter_lock), 0) << "new_ht released a lock it did not take";
    TablePtr during{raw};
    ASSERT_TRUE(during);
    EXPECT_TRUE(log.contains("while write locking _ht_counter_lock at ")) << log.text();
    EXPECT_NE(during->seed, before->seed);
    EXPECT_EQ(ht_put_int(during.get(), "k", 1), 1);
}

/* ---------------------------------------------------------------- Model test */

namespace {

struct ModelValue {
    int type;
    int64_t i = 0;
    double d = 0;
    std::optional<std::string> s;
    Obj *p = nullptr;
    bool owned = false;  // the table destroys p
};

void run_model(size_t buckets, uint64_t seed, int ops) {
    TablePtr t{new_ht(buckets)};
    ASSERT_TRUE(t);
    std::mt19937_64 rng(seed);
    std::unordered_map<std::string, ModelValue> model;
    std::vector<std::unique_ptr<Obj, void (*)(void *)>> ours;  // pointers put without a destroy function
    std::vector<std::string> keys;
    for (int i = 0; i < 150; i++) keys.push_back(std::string("k").append(std::to_string(i)));
    keys.push_back("");
    keys.push_back("\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87");  // bytes above 127
    keys.push_back(std::string(40, 'x'));
    int next_id = 0;
    const size_t live_at_start = live_objs.size();

    auto expect_put = [&](const std::string &k, int type) {
        if (k.empty()) return false;
        auto it = model.find(k);
        return it == model.end() || it->second.type == type;
    };
    for (int op = 0; op < ops; op++) {
        const std::string &k = keys[rng() % keys.size()];
        const char *key = k.c_str();
        auto it = model.find(k);
        const int type = it == model.end() ? 0 : it->second.type;
        switch (rng() % 14) {
        case 0: {
            int64_t v = (int64_t)rng();
            bool ok = expect_put(k, HASH_INT);
            ASSERT_EQ(ht_put_int(t.get(), key, v), ok) << k;
            if (ok) model[k] = ModelValue{HASH_INT, v, 0, std::nullopt, nullptr, false};
            break;
        }
        case 1: {
            double v = (double)(int64_t)rng() / 7.0;
            bool ok = expect_put(k, HASH_DOUBLE);
            ASSERT_EQ(ht_put_double(t.get(), key, v), ok) << k;
            if (ok) model[k] = ModelValue{HASH_DOUBLE, 0, v, std::nullopt, nullptr, false};
            break;
        }
        case 2: {
            bool null_text = rng() % 8 == 0;
            std::string v = "text-" + std::to_string(rng() % 1000);
            bool ok = expect_put(k, HASH_STRING);
            ASSERT_EQ(ht_put_string(t.get(), key, null_text ? nullptr : v.c_str()), ok) << k;
            if (ok) model[k] = ModelValue{HASH_STRING, 0, 0, null_text ? std::nullopt : std::optional(v), nullptr, false};
            break;
        }
        case 3: {
            std::string v = "adopted-" + std::to_string(rng() % 1000);
            char *text = strdup(v.c_str());
            bool ok = expect_put(k, HASH_STRING);
            ASSERT_EQ(ht_put_string_ptr(t.get(), key, text), ok) << k;
            if (ok) model[k] = ModelValue{HASH_STRING, 0, 0, v, nullptr, false};
            else free(text);
            break;
        }
        case 4:
        case 5: {
            bool owned = rng() % 2 == 0;
            Obj *o = new_obj(next_id++);
            bool ok = expect_put(k, HASH_PTR);
            ASSERT_EQ(ht_put_ptr(t.get(), key, o, owned ? destroy_obj : nullptr, nullptr), ok) << k;
            if (!ok || !owned) ours.emplace_back(o, destroy_obj);
            if (ok) model[k] = ModelValue{HASH_PTR, 0, 0, std::nullopt, o, owned};
            break;
        }
        case 6: {
            int64_t v = -1;
            ASSERT_EQ(ht_get_int(t.get(), key, &v), type == HASH_INT) << k;
            if (type == HASH_INT) {
                EXPECT_EQ(v, it->second.i);
            }
            break;
        }
        case 7: {
            double v = -1;
            ASSERT_EQ(ht_get_double(t.get(), key, &v), type == HASH_DOUBLE) << k;
            if (type == HASH_DOUBLE) {
                EXPECT_EQ(v, it->second.d);
            }
            break;
        }
        case 8: {
            char *v = nullptr;
            ASSERT_EQ(ht_get_string(t.get(), key, &v), type == HASH_STRING) << k;
            if (type == HASH_STRING) {
                ASSERT_EQ(v != nullptr, it->second.s.has_value()) << k;
                if (v) {
                    EXPECT_EQ(std::string(v), *it->second.s);
                }
            }
            break;
        }
        case 9: {
            void *v = nullptr;
            ASSERT_EQ(ht_get_ptr(t.get(), key, &v), type == HASH_PTR) << k;
            if (type == HASH_PTR) {
                EXPECT_EQ(v, it->second.p);
                EXPECT_EQ(static_cast<Obj *>(v)->id, it->second.p->id);
            }
            break;
        }
        case 10:
            ASSERT_EQ(ht_remove(t.get(), key), type != 0) << k;
            model.erase(k);
            break;
        case 11: {
            HASH_NODE *n = ht_get_node(t.get(), key);
            ASSERT_EQ(n != nullptr, type != 0) << k;
            if (n) {
                EXPECT_EQ(n->type, type);
                EXPECT_EQ(std::string(n->key), k);
            }
            break;
        }
        case 12:
            // Putting back the very value the key holds keeps it alive.
            if (type == HASH_PTR) {
                const ModelValue &m = it->second;
                ASSERT_EQ(ht_put_ptr(t.get(), key, m.p, m.owned ? destroy_obj : nullptr, nullptr), 1);
            } else if (type == HASH_STRING) {
                char *held = nullptr;
                ASSERT_EQ(ht_get_string(t.get(), key, &held), 1);
                ASSERT_EQ(rng() % 2 ? ht_put_string_ptr(t.get(), key, held) : ht_put_string(t.get(), key, held), 1);
            }
            break;
        case 13:
            if (rng() % 50 == 0) {
                ASSERT_EQ(empty_ht(t.get()), 1);
                model.clear();
            }
            break;
        }
        if (op % 97 == 0 || op == ops - 1) {
            std::set<std::string> want;
            for (const auto &[mk, mv] : model) want.insert(mk);
            ASSERT_EQ(check_table(t.get()), want);
            ListPtr all{ht_search(t.get(), match_all)};
            std::vector<std::string> found = list_texts(all.get());
            EXPECT_EQ(std::set<std::string>(found.begin(), found.end()), want);
            EXPECT_EQ(found.size(), want.size());
            // every object is either ours or held by the table with its destroy function
            size_t held = 0;
            for (const auto &[mk, mv] : model) held += mv.type == HASH_PTR && mv.owned;
            EXPECT_EQ(live_objs.size() - live_at_start, held + ours.size());
        }
    }
    t.reset();
    EXPECT_EQ(live_objs.size() - live_at_start, ours.size()) << "destroying the table left owned objects alive";
}

}  // namespace

TEST(NHashModel, RandomOperationsAgreeWithUnorderedMap) {
    struct Case {
        size_t buckets;
        uint64_t seed;
    };
    // one bucket: every key collides; 7: long chains; 4096: mostly alone
    const Case cases[] = {{1, 1}, {7, 2}, {4096, 3}};
    for (const auto &c : cases) {
        SCOPED_TRACE("buckets " + std::to_string(c.buckets));
        run_model(c.buckets, c.seed, 6000);
    }
}

/* ---------------------------------------------------------------- Replacement and ownership */

TEST(NHashReplace, PointerReplacedDestroysTheOldOnceBeforeStoringTheNew) {
    TablePtr t{new_ht(4)};
    static HASH_TABLE *table;
    static void *seen_in_table;
    static int calls;
    table = t.get();
    calls = 0;
    int first = 1, second = 2;
    auto on_destroy = [](void *p) {
        calls++;
        ASSERT_EQ(ht_get_ptr(table, "conn", &seen_in_table), 1);
        EXPECT_EQ(seen_in_table, p) << "destroyed after the new pointer was stored";
    };
    ASSERT_EQ(ht_put_ptr(t.get(), "conn", &first, on_destroy, nullptr), 1);
    ASSERT_EQ(ht_put_ptr(t.get(), "conn", &second, nullptr, nullptr), 1);
    EXPECT_EQ(calls, 1);
    void *got = nullptr;
    ASSERT_EQ(ht_get_ptr(t.get(), "conn", &got), 1);
    EXPECT_EQ(got, &second);
    EXPECT_EQ(t->key_count, 1u);
    t.reset();
    EXPECT_EQ(calls, 1) << "the new pointer came without a destroy function";
}

// Handing back the value a key already holds must not release it: the
// table would otherwise keep a dangling pointer (ASan reports the reads).
TEST(NHashReplace, PuttingBackTheHeldValueKeepsItAlive) {
    TablePtr t{new_ht(4)};
    destroy_calls = 0;
    Obj *o = new_obj(42);
    ASSERT_EQ(ht_put_ptr(t.get(), "p", o, destroy_obj, nullptr), 1);
    ASSERT_EQ(ht_put_ptr(t.get(), "p", o, destroy_obj, nullptr), 1);
    EXPECT_EQ(destroy_calls, 0);
    void *got = nullptr;
    ASSERT_EQ(ht_get_ptr(t.get(), "p", &got), 1);
    EXPECT_EQ(static_cast<Obj *>(got)->id, 42);

    char *text = strdup("adopted");
    ASSERT_EQ(ht_put_string_ptr(t.get(), "s", text), 1);
    ASSERT_EQ(ht_put_string_ptr(t.get(), "s", text), 1);
    char *held = nullptr;
    ASSERT_EQ(ht_get_string(t.get(), "s", &held), 1);
    EXPECT_STREQ(held, "adopted");

    ASSERT_EQ(ht_put_string(t.get(), "s", held), 1);  // the copy is made before the old text goes
    ASSERT_EQ(ht_get_string(t.get(), "s", &held), 1);
    EXPECT_STREQ(held, "adopted");

    t.reset();
    EXPECT_EQ(destroy_calls, 1);
    EXPECT_EQ(live_objs.count(o), 0u);
}

TEST(NHashReplace, NullTextsAreValues) {
    LogCapture log;
    TablePtr t{new_ht(4)};
    char *v = (char *)"sentinel";
    ASSERT_EQ(ht_put_string(t.get(), "a", nullptr), 1);
    ASSERT_EQ(ht_get_string(t.get(), "a", &v), 1);
    EXPECT_EQ(v, nullptr);
    ASSERT_EQ(ht_put_string(t.get(), "a", "now set"), 1);
    EXPECT_TRUE(log.contains("Free( node_ptr->data.string ) already done or NULL")) << log.text();
    ASSERT_EQ(ht_get_string(t.get(), "a", &v), 1);
    EXPECT_STREQ(v, "now set");
    ASSERT_EQ(ht_put_string_ptr(t.get(), "a", nullptr), 1);
    ASSERT_EQ(ht_get_string(t.get(), "a", &v), 1);
    EXPECT_EQ(v, nullptr);
}

/* ---------------------------------------------------------------- Refusals and messages */

TEST(NHashMessages, PutOverAnotherTypeFailsAndKeepsTheValue) {
    struct Case {
        const char *name;
        std::function<int(HASH_TABLE *)> put;
        std::function<int(HASH_TABLE *)> store_first;
        const char *message;
    };
    static int dummy;
    const Case cases[] = {
        {"pointer over int", [](HASH_TABLE *t) { return ht_put_ptr(t, "k", &dummy, nullptr, nullptr); },
         [](HASH_TABLE *t) { return ht_put_int(t, "k", 7); },
         "Can't add key[\"k\"] with type HASH_PTR , key already exist with type HASH_INT"},
        {"int over text", [](HASH_TABLE *t) { return ht_put_int(t, "k", 1); },
         [](HASH_TABLE *t) { return ht_put_string(t, "k", "v"); },
         "Can't add key[\"k\"] with type HASH_INT, key already exist with type HASH_STRING"},
        {"double over pointer", [](HASH_TABLE *t) { return ht_put_double(t, "k", 1.5); },
         [](HASH_TABLE *t) { return ht_put_ptr(t, "k", &dummy, nullptr, nullptr); },
         "Can't add key[\"k\"] with type HASH_DOUBLE, key already exist with type HASH_PTR"},
        {"text over double", [](HASH_TABLE *t) { return ht_put_string(t, "k", "v"); },
         [](HASH_TABLE *t) { return ht_put_double(t, "k", 2.5); },
         "Can't add key[\"k\"] with type HASH_STRING , key already exist with type HASH_DOUBLE"},
        {"adopted text over int", [](HASH_TABLE *t) { return ht_put_string_ptr(t, "k", (char *)"never adopted"); },
         [](HASH_TABLE *t) { return ht_put_int(t, "k", 7); },
         "Can't add key[\"k\"] with type HASH_STRING , key already exist with type HASH_INT"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TablePtr t{new_ht(4)};
        ASSERT_EQ(c.store_first(t.get()), 1);
        const int stored_type = ht_get_node(t.get(), "k")->type;
        LogCapture log;
        EXPECT_EQ(c.put(t.get()), 0);
        EXPECT_TRUE(log.contains(c.message)) << log.text();
        EXPECT_EQ(ht_get_node(t.get(), "k")->type, stored_type);
        EXPECT_EQ(t->key_count, 1u);
    }
    TablePtr t{new_ht(4)};
    ASSERT_EQ(ht_put_int(t.get(), "k", 7), 1);
    ASSERT_EQ(ht_put_ptr(t.get(), "k", &dummy, nullptr, nullptr), 0);
    int64_t v = 0;
    ASSERT_EQ(ht_get_int(t.get(), "k", &v), 1);
    EXPECT_EQ(v, 7);
}

TEST(NHashMessages, GetOfAnotherTypeFailsAndNamesTheStoredType) {
    TablePtr t{new_ht(4)};
    static int dummy;
    ASSERT_EQ(ht_put_int(t.get(), "i", 1), 1);
    ASSERT_EQ(ht_put_double(t.get(), "d", 1.0), 1);
    ASSERT_EQ(ht_put_string(t.get(), "s", "x"), 1);
    ASSERT_EQ(ht_put_ptr(t.get(), "p", &dummy, nullptr, nullptr), 1);
    struct Case {
        std::function<int()> get;
        const char *message;
    };
    int64_t i;
    double d;
    char *s;
    void *p;
    const Case cases[] = {
        {[&] { return ht_get_int(t.get(), "s", &i); }, "Can't get key[\"s\"] of type HASH_INT, key is type HASH_STRING"},
        {[&] { return ht_get_double(t.get(), "i", &d); }, "Can't get key[\"i\"] of type HASH_DOUBLE, key is type HASH_INT"},
        {[&] { return ht_get_string(t.get(), "p", &s); }, "Can't get key[\"p\"] of type HASH_STRING, key is type HASH_PTR"},
        {[&] { return ht_get_ptr(t.get(), "d", &p); }, "Can't get key[\"d\"] of type HASH_PTR, key is type HASH_DOUBLE"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        LogCapture log;
        EXPECT_EQ(c.get(), 0);
        EXPECT_TRUE(log.contains(c.message)) << log.text();
    }
}

TEST(NHashMessages, EmptyAndAbsentKeys) {
    TablePtr t{new_ht(1)};
    static int dummy;
    const std::function<int()> puts[] = {
        [&] { return ht_put_int(t.get(), "", 1); },
        [&] { return ht_put_double(t.get(), "", 1); },
        [&] { return ht_put_string(t.get(), "", "v"); },
        [&] { return ht_put_string_ptr(t.get(), "", (char *)"never adopted"); },
        [&] { return ht_put_ptr(t.get(), "", &dummy, nullptr, nullptr); },
    };
    char expected[96];
    snprintf(expected, sizeof expected, "Could not get a new node in table %p with key ", (void *)t.get());
    for (const auto &put : puts) {
        LogCapture log;
        EXPECT_EQ(put(), 0);
        EXPECT_TRUE(log.contains(expected)) << log.text();
    }
    EXPECT_EQ(t->key_count, 0u);

    ASSERT_EQ(ht_put_int(t.get(), "present", 1), 1);
    int64_t i;
    double d;
    char *s;
    void *p;
    for (const char *key : {"", "absent"}) {
        SCOPED_TRACE(std::string("key \"") + key + "\"");
        LogCapture log;
        EXPECT_EQ(ht_get_int(t.get(), key, &i), 0);
        EXPECT_EQ(ht_get_double(t.get(), key, &d), 0);
        EXPECT_EQ(ht_get_string(t.get(), key, &s), 0);
        EXPECT_EQ(ht_get_ptr(t.get(), key, &p), 0);
        EXPECT_EQ(ht_get_node(t.get(), key), nullptr);
        EXPECT_EQ(log.text(), "") << "gets of an empty or absent key are silent";
    }
    LogCapture log;
    EXPECT_EQ(ht_remove(t.get(), ""), 0);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(ht_remove(t.get(), "absent"), 0);  // the one bucket holds "present"
    EXPECT_TRUE(log.contains("Can't delete key[\"absent\"]: inexisting key")) << log.text();
    TablePtr big{new_ht(64)};
    EXPECT_EQ(ht_remove(big.get(), "absent"), 0);
    EXPECT_TRUE(log.contains("Can't remove key[\"absent\"], table is empty")) << log.text();
}

TEST(NHashMessages, RefusedArguments) {
    LogCapture log;
    EXPECT_EQ(new_ht(0), nullptr);
    EXPECT_TRUE(log.contains("Invalid size 0 for new_ht()")) << log.text();

    TablePtr t{new_ht(4)};
    int64_t i;
    struct Case {
        const char *assert_text;
        std::function<bool()> refused;
    };
    const Case cases[] = {
        {"table", [] { return ht_put_int(nullptr, "k", 1) == 0; }},
        {"key", [&] { return ht_put_int(t.get(), nullptr, 1) == 0; }},
        {"key", [&] { return ht_put_double(t.get(), nullptr, 1) == 0; }},
        {"key", [&] { return ht_put_string(t.get(), nullptr, "v") == 0; }},
        {"key", [&] { return ht_put_string_ptr(t.get(), nullptr, nullptr) == 0; }},
        {"key", [&] { return ht_put_ptr(t.get(), nullptr, nullptr, nullptr, nullptr) == 0; }},
        {"table", [&] { return ht_get_int(nullptr, "k", &i) == 0; }},
        {"key", [&] { return ht_get_int(t.get(), nullptr, &i) == 0; }},
        {"val", [&] { return ht_get_int(t.get(), "k", nullptr) == 0; }},
        {"key", [&] { return ht_get_node(t.get(), nullptr) == nullptr; }},
        {"key", [&] { return ht_remove(t.get(), nullptr) == 0; }},
        {"table", [] { return ht_search(nullptr, match_all) == nullptr; }},
        {"predicate", [&] { return ht_search(t.get(), nullptr) == nullptr; }},
        {"table", [] { return empty_ht(nullptr) == 0; }},
        {"(*table)", [] { HASH_TABLE *none = nullptr; return destroy_ht(&none) == 0; }},
        {"node", [] { return strcmp(ht_node_type(nullptr), "NULL_NODE") == 0; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.assert_text);
        log.clear();
        EXPECT_TRUE(c.refused());
        EXPECT_TRUE(log.contains(std::string("if( !(") + c.assert_text + ") )")) << log.text();
    }
    log.clear();
    HASH_TABLE *none = nullptr;
    EXPECT_EQ(_destroy_ht(&none), 0);
    EXPECT_TRUE(log.contains("if( !(table && (*table)) )")) << log.text();
    EXPECT_TRUE(log.contains("Can't destroy table: already NULL")) << log.text();

    HASH_NODE node{};
    struct TypeName {
        int type;
        const char *name;
    };
    for (const auto &tn : {TypeName{HASH_INT, "HASH_INT"}, TypeName{HASH_DOUBLE, "HASH_DOUBLE"},
                           TypeName{HASH_STRING, "HASH_STRING"}, TypeName{HASH_PTR, "HASH_PTR"},
                           TypeName{0, "HASH_UNKNOWN"}, TypeName{3, "HASH_UNKNOWN"}}) {
        node.type = tn.type;
        EXPECT_STREQ(ht_node_type(&node), tn.name);
    }
}

/* ---------------------------------------------------------------- Iteration and emptying */

TEST(NHashIterate, SearchAndPrintVisitBucketsInOrderAndChainsInInsertionOrder) {
    TablePtr t{new_ht(1)};  // one bucket: the visiting order is the insertion order
    for (const char *k : {"delta", "alpha", "charlie", "bravo"}) ASSERT_EQ(ht_put_int(t.get(), k, (int64_t)strlen(k)), 1);
    ASSERT_EQ(ht_put_int(t.get(), "alpha", 0), 1);  // a replacement keeps the node's place

    ListPtr all{ht_search(t.get(), match_all)};
    EXPECT_EQ(list_texts(all.get()), (std::vector<std::string>{"delta", "alpha", "charlie", "bravo"}));

    // only a result of exactly 1 matches
    ListPtr five{ht_search(t.get(), [](HASH_NODE *n) { return n->data.integer == 5 ? 1 : 2; })};
    EXPECT_EQ(list_texts(five.get()), (std::vector<std::string>{"delta", "bravo"}));
    EXPECT_EQ(ht_search(t.get(), [](HASH_NODE *) { return 0; }), nullptr);

    testing::internal::CaptureStdout();
    ht_print(t.get());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "key:delta node:delta\nkey:alpha node:alpha\nkey:charlie node:charlie\nkey:bravo node:bravo\n");

    TablePtr many{new_ht(16)};
    for (int i = 0; i < 100; i++) ASSERT_EQ(ht_put_int(many.get(), std::string("k").append(std::to_string(i)).c_str(), i), 1);
    ListPtr ordered{ht_search(many.get(), match_all)};
    uint64_t last_bucket = 0;
    for (const auto &k : list_texts(ordered.get())) {
        uint64_t b = ht_get_node(many.get(), k.c_str())->hash_value % 16;
        EXPECT_GE(b, last_bucket) << k;
        last_bucket = b;
    }

    HASH_TABLE not_classic{};
    not_classic.mode = HASH_TRIE;
    LogCapture log;
    EXPECT_EQ(_ht_search(&not_classic, match_all), nullptr);
    EXPECT_TRUE(log.contains("Error in ht_foreach( node , table ) unsupportted mode 256")) << log.text();
}

TEST(NHashIterate, EmptyKeepsSizeAndSeedAndReleasesValues) {
    TablePtr t{new_ht(32)};
    const uint64_t seed = t->seed;
    destroy_calls = 0;
    for (int i = 0; i < 50; i++) {
        std::string k = std::string("k").append(std::to_string(i));
        ASSERT_EQ(ht_put_ptr(t.get(), k.c_str(), new_obj(i), destroy_obj, nullptr), 1);
        ASSERT_EQ(ht_put_string(t.get(), ("s" + k).c_str(), "text"), 1);
    }
    ASSERT_EQ(empty_ht(t.get()), 1);
    EXPECT_EQ(destroy_calls, 50);
    EXPECT_EQ(t->key_count, 0u);
    EXPECT_EQ(t->size, 32u);
    EXPECT_EQ(t->seed, seed);
    EXPECT_TRUE(check_table(t.get()).empty());
    ASSERT_EQ(ht_put_double(t.get(), "k1", 0.5), 1);  // a key may come back with another type
    double d = 0;
    ASSERT_EQ(ht_get_double(t.get(), "k1", &d), 1);
    EXPECT_EQ(d, 0.5);
}

/* ---------------------------------------------------------------- Allocation failures */

TEST(NHashAlloc, NewTableFailsCleanlyAtEveryAllocation) {
    AllocFailGuard guard;
    LogCapture log;
    constexpr size_t kBuckets = 5;
    bool made = false;
    for (long n = 0; n < 20 && !made; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        log.clear();
        n_alloc_fail_after(n);
        HASH_TABLE *t = new_ht(kBuckets);
        n_alloc_fail_after(-1);
        if (t) {
            made = true;
            EXPECT_EQ(n, (long)kBuckets + 2) << "record, bucket array and one list per bucket";
            EXPECT_EQ(ht_put_int(t, "k", 1), 1);
            destroy_ht(&t);
            break;
        }
        if (n == 0) EXPECT_TRUE(log.contains("Error allocating HASH_TABLE *table")) << log.text();
        else if (n == 1) EXPECT_TRUE(log.contains("Can't allocate table -> hash_table with size 5 !")) << log.text();
        else EXPECT_TRUE(log.contains("Can't allocate table -> hash_table[ " + std::to_string(n - 2) + " ] !")) << log.text();
    }
    EXPECT_TRUE(made);
}

// Each put fails at each of its allocations in turn: a failure leaves the
// table as it was and an adopted value with the caller; ASan reports any
// leak or double release.
TEST(NHashAlloc, PutsFailCleanlyAtEveryAllocation) {
    AllocFailGuard guard;
    struct Case {
        const char *name;
        std::function<int(HASH_TABLE *, bool *caller_keeps)> put;
        int type;
    };
    static char *pending_text;
    static Obj *pending_obj;
    const Case cases[] = {
        {"int", [](HASH_TABLE *t, bool *) { return ht_put_int(t, "new", 5); }, HASH_INT},
        {"double", [](HASH_TABLE *t, bool *) { return ht_put_double(t, "new", 5); }, HASH_DOUBLE},
        {"string", [](HASH_TABLE *t, bool *) { return ht_put_string(t, "new", "copied"); }, HASH_STRING},
        {"string_ptr",
         [](HASH_TABLE *t, bool *keeps) {
             pending_text = strdup("adopted");
             int r = ht_put_string_ptr(t, "new", pending_text);
             *keeps = r == 0;
             return r;
         },
         HASH_STRING},
        {"ptr",
         [](HASH_TABLE *t, bool *keeps) {
             pending_obj = new_obj(1);
             int r = ht_put_ptr(t, "new", pending_obj, destroy_obj, nullptr);
             *keeps = r == 0;
             return r;
         },
         HASH_PTR},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bool done = false;
        for (long n = 0; n < 10 && !done; n++) {
            SCOPED_TRACE("failing allocation " + std::to_string(n));
            TablePtr t{new_ht(4)};
            ASSERT_EQ(ht_put_int(t.get(), "old", 1), 1);
            pending_text = nullptr;
            pending_obj = nullptr;
            bool caller_keeps = false;
            const size_t live_before = live_objs.size();
            n_alloc_fail_after(n);
            int r = c.put(t.get(), &caller_keeps);
            n_alloc_fail_after(-1);
            if (r == 1) {
                done = true;
                ASSERT_NE(ht_get_node(t.get(), "new"), nullptr);
                EXPECT_EQ(ht_get_node(t.get(), "new")->type, c.type);
                EXPECT_EQ(t->key_count, 2u);
                continue;
            }
            EXPECT_EQ(ht_get_node(t.get(), "new"), nullptr);
            EXPECT_EQ(t->key_count, 1u);
            EXPECT_EQ(check_table(t.get()), (std::set<std::string>{"old"}));
            if (pending_text) {
                EXPECT_TRUE(caller_keeps);
                EXPECT_STREQ(pending_text, "adopted");  // still ours to read and free
                free(pending_text);
            }
            if (pending_obj) {
                EXPECT_EQ(live_objs.size(), live_before + 1) << "a failed put destroyed the caller's pointer";
                destroy_obj(pending_obj);
            }
        }
        EXPECT_TRUE(done);
    }
}

TEST(NHashAlloc, FailedTextCopyKeepsTheOldText) {
    AllocFailGuard guard;
    TablePtr t{new_ht(4)};
    ASSERT_EQ(ht_put_string(t.get(), "k", "old"), 1);
    LogCapture log;
    n_alloc_fail_after(0);
    EXPECT_EQ(ht_put_string(t.get(), "k", "new"), 0);
    n_alloc_fail_after(-1);
    EXPECT_TRUE(log.contains("didn't overwrite k")) << log.text();
    EXPECT_TRUE(log.contains("could not strdup char *string at ")) << log.text();
    char *v = nullptr;
    ASSERT_EQ(ht_get_string(t.get(), "k", &v), 1);
    EXPECT_STREQ(v, "old");
}

TEST(NHashAlloc, SearchNeverReturnsAPartialList) {
    AllocFailGuard guard;
    TablePtr t{new_ht(8)};
    for (int i = 0; i < 6; i++) ASSERT_EQ(ht_put_int(t.get(), std::string("k").append(std::to_string(i)).c_str(), i), 1);
    bool complete = false;
    for (long n = 0; n < 40 && !complete; n++) {
        n_alloc_fail_after(n);
        ListPtr found{ht_search(t.get(), match_all)};
        n_alloc_fail_after(-1);
        if (found) {
            EXPECT_EQ(found->item_count, 6u) << "failing allocation " << n;
            complete = n > 12;  // past the list, six key copies and six list nodes
        }
    }
    EXPECT_TRUE(complete);
}
