// Hash tables: classic bucket mode, trie mode and completion, sizing,
// resizing and duplication, and MurmurHash3.
#include "n_hash.h"

#include "n_log.h"

#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <strings.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#include <vector>

/* ---------------------------------------------------------------- MurmurHash3 */

static inline uint64_t rotl64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
static inline uint32_t rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

// Blocks are read as little-endian words whatever the host, so a hash (and
// with it a bucket layout) is the same on every machine.
static inline uint64_t load_le64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

static inline uint32_t load_le32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

static inline uint64_t fmix64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

static inline uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85ebca6bU;
    h ^= h >> 13;
    h *= 0xc2b2ae35U;
    h ^= h >> 16;
    return h;
}

// The bytes after the last whole block as one little-endian word: `n` bytes
// (1 to the word's size) from p, the missing high bytes zero.
template <class W> static inline W load_le_tail(const uint8_t *p, size_t n) {
    W v = 0;
    for (size_t i = n; i-- > 0;) v = static_cast<W>(v << 8) | p[i];
    return v;
}

// A lane's key mixing, the same for whole blocks and the tail: multiply by the
// lane's constant, rotate, multiply by the next lane's constant.
static inline uint64_t mix_k64(uint64_t k, uint64_t ca, int r, uint64_t cb) { return rotl64(k * ca, r) * cb; }
static inline uint32_t mix_k32(uint32_t k, uint32_t ca, int r, uint32_t cb) { return rotl32(k * ca, r) * cb; }

void MurmurHash3_x64_128(const void *key, uint64_t len, uint64_t seed, uint64_t out[2]) {
    const uint8_t *data = static_cast<const uint8_t *>(key);
    const uint64_t nblocks = len / 16;
    uint64_t h1 = seed, h2 = seed;
    constexpr uint64_t c1 = 0x87c37b91114253d5ULL;
    constexpr uint64_t c2 = 0x4cf5ad432745937fULL;

    for (uint64_t i = 0; i < nblocks; i++) {
        h1 ^= mix_k64(load_le64(data + i * 16), c1, 31, c2);
        h1 = rotl64(h1, 27); h1 += h2; h1 = h1 * 5 + 0x52dce729;
        h2 ^= mix_k64(load_le64(data + i * 16 + 8), c2, 33, c1);
        h2 = rotl64(h2, 31); h2 += h1; h2 = h2 * 5 + 0x38495ab5;
    }

    const uint8_t *tail = data + nblocks * 16;
    const size_t rest = len & 15;
    if (rest > 8) h2 ^= mix_k64(load_le_tail<uint64_t>(tail + 8, rest - 8), c2, 33, c1);
    if (rest > 0) h1 ^= mix_k64(load_le_tail<uint64_t>(tail, rest < 8 ? rest : 8), c1, 31, c2);

    h1 ^= len;
    h2 ^= len;
    h1 += h2;
    h2 += h1;
    h1 = fmix64(h1);
    h2 = fmix64(h2);
    h1 += h2;
    h2 += h1;
    out[0] = h1;
    out[1] = h2;
}

// The x86 variants mix the length in as 32 bits, as the published ones do.
void MurmurHash3_x86_32(const void *key, uint64_t len, uint32_t seed, uint32_t out[1]) {
    const uint8_t *data = static_cast<const uint8_t *>(key);
    const uint64_t nblocks = len / 4;
    uint32_t h1 = seed;
    constexpr uint32_t c1 = 0xcc9e2d51U;
    constexpr uint32_t c2 = 0x1b873593U;

    for (uint64_t i = 0; i < nblocks; i++) {
        h1 ^= mix_k32(load_le32(data + i * 4), c1, 15, c2);
        h1 = rotl32(h1, 13);
        h1 = h1 * 5 + 0xe6546b64U;
    }

    const size_t rest = len & 3;
    if (rest > 0) h1 ^= mix_k32(load_le_tail<uint32_t>(data + nblocks * 4, rest), c1, 15, c2);

    h1 ^= uint32_t(len);
    out[0] = fmix32(h1);
}

// Four 32-bit lanes that differ only in their constants: lane j mixes its key
// with c[j] and c[j + 1], then feeds into itself the lane after it.
void MurmurHash3_x86_128(const void *key, uint64_t len, uint32_t seed, uint32_t out[4]) {
    const uint8_t *data = static_cast<const uint8_t *>(key);
    const uint64_t nblocks = len / 16;
    uint32_t h[4] = {seed, seed, seed, seed};
    constexpr uint32_t c[4] = {0x239b961bU, 0xab0e9789U, 0x38b34ae5U, 0xa1e38b93U};
    constexpr int k_rot[4] = {15, 16, 17, 18};
    constexpr int h_rot[4] = {19, 17, 15, 13};
    constexpr uint32_t h_add[4] = {0x561ccd1bU, 0x0bcaa747U, 0x96cd1c35U, 0x32ac3b17U};

    for (uint64_t i = 0; i < nblocks; i++)
        for (size_t j = 0; j < 4; j++) {
            h[j] ^= mix_k32(load_le32(data + i * 16 + j * 4), c[j], k_rot[j], c[(j + 1) % 4]);
            h[j] = rotl32(h[j], h_rot[j]); h[j] += h[(j + 1) % 4]; h[j] = h[j] * 5 + h_add[j];
        }

    const uint8_t *tail = data + nblocks * 16;
    const size_t rest = len & 15;
    for (size_t j = 0; j < 4 && rest > j * 4; j++) {
        const size_t n = rest - j * 4 < 4 ? rest - j * 4 : 4;
        h[j] ^= mix_k32(load_le_tail<uint32_t>(tail + j * 4, n), c[j], k_rot[j], c[(j + 1) % 4]);
    }

    const uint32_t len32 = uint32_t(len);
    uint32_t &h1 = h[0], &h2 = h[1], &h3 = h[2], &h4 = h[3];
    h1 ^= len32; h2 ^= len32; h3 ^= len32; h4 ^= len32;
    h1 += h2; h1 += h3; h1 += h4;
    h2 += h1; h3 += h1; h4 += h1;
    h1 = fmix32(h1); h2 = fmix32(h2); h3 = fmix32(h3); h4 = fmix32(h4);
    h1 += h2; h1 += h3; h1 += h4;
    h2 += h1; h3 += h1; h4 += h1;
    out[0] = h1;
    out[1] = h2;
    out[2] = h3;
    out[3] = h4;
}

/* ---------------------------------------------------------------- Seeds */

uint64_t _ht_process_key = 0;
pthread_once_t _ht_key_once = PTHREAD_ONCE_INIT;
uint64_t _ht_table_counter = 0;
pthread_mutex_t _ht_counter_lock = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;

static uint64_t splitmix_mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

static uint64_t splitmix64(uint64_t x) { return splitmix_mix(x + 0x9E3779B97F4A7C15ULL); }

// Prefers the kernel's generator; the clock and addresses are only a last
// resort, for a process that can reach neither getrandom nor /dev/urandom.
void _ht_key_init(void) {
    uint64_t key = 0;
    if (getrandom(&key, sizeof key, GRND_NONBLOCK) == (ssize_t)sizeof key) {
        _ht_process_key = key;
        return;
    }
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t got = read(fd, &key, sizeof key);
        close(fd);
        if (got == (ssize_t)sizeof key) {
            _ht_process_key = key;
            return;
        }
    }
    int local = 0;
    _ht_process_key = ((uint64_t)time(nullptr) * 0x9E3779B97F4A7C15ULL) ^ (uint64_t)(uintptr_t)&local ^
                      (uint64_t)(uintptr_t)&_ht_process_key ^ ((uint64_t)clock() << 21);
}

// A failed lock is reported and the count goes on regardless: a table seed
// that may repeat is better than no table. Only a lock actually taken is
// released, so a failure never unlocks a holder's mutex.
static uint64_t next_table_seed() {
    pthread_once(&_ht_key_once, _ht_key_init);
    int err = pthread_mutex_lock(&_ht_counter_lock);
    if (err)
        n_log(LOG_ERR, "Error %s while write locking %s at %s:%s:%d", strerror(err), "_ht_counter_lock", __FILE__,
              __func__, __LINE__);
    const uint64_t c = ++_ht_table_counter;
    if (!err) {
        int uerr = pthread_mutex_unlock(&_ht_counter_lock);
        if (uerr)
            n_log(LOG_ERR, "Error %s while unlocking %s at %s:%s:%d", strerror(uerr), "_ht_counter_lock", __FILE__,
                  __func__, __LINE__);
    }
    return splitmix64(_ht_process_key ^ splitmix64(c));
}

/* ---------------------------------------------------------------- Nodes */

const char *ht_node_type(const HASH_NODE *node) {
    N_ASSERT(node, return "NULL_NODE");
    switch (node->type) {
    case HASH_INT: return "HASH_INT";
    case HASH_DOUBLE: return "HASH_DOUBLE";
    case HASH_STRING: return "HASH_STRING";
    case HASH_PTR: return "HASH_PTR";
    default: return "HASH_UNKNOWN";
    }
}

// Heap copy of a text through the injectable allocator, so tests reach this
// failure too.
static char *copy_text(const char *text) {
    const size_t n = strlen(text) + 1;
    char *copy = n_calloc(copy, n, char);
    if (copy) memcpy(copy, text, n);
    return copy;
}

static uint64_t key_hash(const HASH_TABLE *table, const char *key) {
    uint64_t out[2];
    MurmurHash3_x64_128(key, strlen(key), table->seed, out);
    return out[0];
}

// Releases what a node's value owns: a text only when the value is one, a
// pointer through its destroy function. `keep` is a text or pointer about to
// be stored again in the same node, which must survive. The node is left
// holding no value.
static void release_value(HASH_NODE *node_ptr, const void *keep) {
    if (node_ptr->type == HASH_STRING) {
        if (!node_ptr->data.string) n_log_free_null("node_ptr->data.string");
        else if (node_ptr->data.string != keep) free(node_ptr->data.string);
    } else if (node_ptr->type == HASH_PTR && node_ptr->data.pointer && node_ptr->destroy_func &&
               node_ptr->data.pointer != keep) {
        node_ptr->destroy_func(node_ptr->data.pointer);
    }
    node_ptr->type = 0;
    node_ptr->data = HASH_DATA{};
    node_ptr->destroy_func = nullptr;
    node_ptr->duplicate_func = nullptr;
}

// A node whose children (if any) are already gone.
static void release_node(HASH_NODE *node_ptr) {
    release_value(node_ptr, nullptr);
    free(node_ptr->key);
    free(node_ptr->children);
    free(node_ptr);
}

// Frees a trie subtree without recursion and without allocating: trie nodes
// never use hash_value, so it threads the list of nodes still to free. A key
// as long as memory allows must not decide the depth of the stack.
static void trie_destroy(HASH_NODE *top) {
    if (!top) return;
    top->hash_value = 0;
    for (HASH_NODE *todo = top; todo;) {
        HASH_NODE *node = todo;
        todo = reinterpret_cast<HASH_NODE *>(static_cast<uintptr_t>(node->hash_value));
        for (size_t i = 0; i < node->alphabet_length && node->children; i++) {
            HASH_NODE *child = node->children[i];
            if (!child) continue;
            child->hash_value = reinterpret_cast<uintptr_t>(todo);
            todo = child;
        }
        release_node(node);
    }
}

void _ht_node_destroy(void *ptr) {
    HASH_NODE *node_ptr = static_cast<HASH_NODE *>(ptr);
    if (!node_ptr) return;
    if (node_ptr->alphabet_length != 0 && node_ptr->children) trie_destroy(node_ptr);
    else release_node(node_ptr);
}

// The node for a key whose hash the caller already has, so a put hashes its
// key once for the lookup and the new node together.
static HASH_NODE *new_hashed_node(const char *key, uint64_t hash_value) {
    if (key[0] == '\0') return nullptr;
    HASH_NODE *new_hash_node = n_calloc(new_hash_node, 1, HASH_NODE);
    N_ASSERT(new_hash_node, {
        n_log(LOG_ERR, "Could not allocate new_hash_node");
        return nullptr;
    });
    new_hash_node->key = copy_text(key);
    N_ASSERT(new_hash_node->key, {
        n_log(LOG_ERR, "Could not allocate new_hash_node->key");
        free(new_hash_node);
        return nullptr;
    });
    new_hash_node->hash_value = hash_value;
    return new_hash_node;
}

HASH_NODE *_ht_new_node(HASH_TABLE *table, const char *key) {
    N_ASSERT(table, return nullptr);
    N_ASSERT(key, return nullptr);
    if (key[0] == '\0') return nullptr;
    return new_hashed_node(key, key_hash(table, key));
}

// Shared by the typed makers and the puts: the node, then its value. Adopted
// values are set only once nothing can fail any more, so a failure leaves them
// with the caller. `known_hash` is the key's hash when the caller has it.
static HASH_NODE *new_typed_node(HASH_TABLE *table, const char *key, const uint64_t *known_hash, int type,
                                 HASH_DATA value, HASH_DESTROY_FUNC destructor, HASH_DUPLICATE_FUNC duplicator,
                                 bool copy_string) {
    HASH_NODE *node = known_hash ? new_hashed_node(key, *known_hash) : _ht_new_node(table, key);
    if (node && copy_string && value.string) {
        value.string = copy_text(value.string);
        if (!value.string) {
            _ht_node_destroy(node);
            node = nullptr;
        }
    }
    if (!node) {
        n_log(LOG_ERR, "Could not get a new node in table %p with key %s", (void *)table, key ? key : "(null)");
        return nullptr;
    }
    node->type = type;
    node->data = value;
    node->destroy_func = destructor;
    node->duplicate_func = duplicator;
    return node;
}

HASH_NODE *_ht_new_int_node(HASH_TABLE *table, const char *key, int64_t value) {
    HASH_DATA d{};
    d.integer = value;
    return new_typed_node(table, key, nullptr, HASH_INT, d, nullptr, nullptr, false);
}

HASH_NODE *_ht_new_double_node(HASH_TABLE *table, const char *key, double value) {
    HASH_DATA d{};
    d.number = value;
    return new_typed_node(table, key, nullptr, HASH_DOUBLE, d, nullptr, nullptr, false);
}

HASH_NODE *_ht_new_string_node(HASH_TABLE *table, const char *key, const char *value) {
    HASH_DATA d{};
    d.string = const_cast<char *>(value);  // copied before it is stored
    return new_typed_node(table, key, nullptr, HASH_STRING, d, nullptr, nullptr, true);
}

HASH_NODE *_ht_new_string_ptr_node(HASH_TABLE *table, const char *key, char *value) {
    HASH_DATA d{};
    d.string = value;
    return new_typed_node(table, key, nullptr, HASH_STRING, d, nullptr, nullptr, false);
}

HASH_NODE *_ht_new_ptr_node(HASH_TABLE *table, const char *key, void *value, HASH_DESTROY_FUNC destructor,
                            HASH_DUPLICATE_FUNC duplicator) {
    HASH_DATA d{};
    d.pointer = value;
    return new_typed_node(table, key, nullptr, HASH_PTR, d, destructor, duplicator, false);
}

/* ---------------------------------------------------------------- Classic operations */

static LIST *bucket_of(const HASH_TABLE *table, uint64_t hash_value) { return table->hash_table[hash_value % table->size]; }

// The list node holding `key` in its bucket, or null. Keyless nodes (made by
// hash value) never match a text key.
static LIST_NODE *find_in_bucket(const LIST *bucket, const char *key) {
    for (LIST_NODE *ln = bucket->start; ln; ln = ln->next) {
        const HASH_NODE *node = static_cast<const HASH_NODE *>(ln->ptr);
        if (node->key && strcmp(node->key, key) == 0) return ln;
    }
    return nullptr;
}

HASH_NODE *_ht_get_node(HASH_TABLE *table, const char *key) {
    N_ASSERT(table, return nullptr);
    N_ASSERT(key, return nullptr);
    if (key[0] == '\0') return nullptr;
    LIST_NODE *ln = find_in_bucket(bucket_of(table, key_hash(table, key)), key);
    return ln ? static_cast<HASH_NODE *>(ln->ptr) : nullptr;
}

// The type's name as it stands in the put messages; the text and pointer
// forms carry a space before their comma.
static const char *put_label(int type) {
    switch (type) {
    case HASH_INT: return "HASH_INT";
    case HASH_DOUBLE: return "HASH_DOUBLE";
    case HASH_STRING: return "HASH_STRING ";
    default: return "HASH_PTR ";
    }
}

// Puts of every type share one shape: replace in place when the key holds
// the same type, refuse another type, else link a new node at the end of its
// bucket. `copy_string` separates ht_put_string (copy) from
// ht_put_string_ptr (adopt).
static int trie_put(HASH_TABLE *table, const char *key, int type, HASH_DATA value, HASH_DESTROY_FUNC destructor,
                    HASH_DUPLICATE_FUNC duplicator, bool copy_string);

static int put_value(HASH_TABLE *table, const char *key, int type, HASH_DATA value, HASH_DESTROY_FUNC destructor,
                     HASH_DUPLICATE_FUNC duplicator, bool copy_string) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    if (table->mode == HASH_TRIE) return trie_put(table, key, type, value, destructor, duplicator, copy_string);
    const uint64_t hash_value = key[0] ? key_hash(table, key) : 0;
    LIST *bucket = bucket_of(table, hash_value);
    LIST_NODE *found = key[0] ? find_in_bucket(bucket, key) : nullptr;
    if (found) {
        HASH_NODE *node_ptr = static_cast<HASH_NODE *>(found->ptr);
        if (node_ptr->type != type) {
            n_log(LOG_ERR, "Can't add key[\"%s\"] with type %s, key already exist with type %s", key, put_label(type),
                  ht_node_type(node_ptr));
            return 0;
        }
        switch (type) {
        case HASH_STRING: {
            char *fresh = value.string;
            if (copy_string && fresh) {
                fresh = copy_text(value.string);
                if (!fresh) {
                    n_log(LOG_ERR, "could not strdup char *string at %p, didn't overwrite %s", (void *)value.string,
                          key);
                    return 0;
                }
            }
            // The adopted text may be the one held: freeing it would leave
            // the node pointing at released memory.
            if (!node_ptr->data.string) n_log_free_null("node_ptr->data.string");
            else if (node_ptr->data.string != fresh) free(node_ptr->data.string);
            node_ptr->data.string = fresh;
            break;
        }
        case HASH_PTR:
            // Storing the pointer already held must not destroy it first.
            if (node_ptr->data.pointer && node_ptr->destroy_func && node_ptr->data.pointer != value.pointer)
                node_ptr->destroy_func(node_ptr->data.pointer);
            node_ptr->data.pointer = value.pointer;
            node_ptr->destroy_func = destructor;
            node_ptr->duplicate_func = duplicator;
            break;
        default:
            node_ptr->data = value;
            break;
        }
        return 1;
    }

    HASH_NODE *fresh = new_typed_node(table, key, &hash_value, type, value, destructor, duplicator, copy_string);
    if (!fresh) return 0;
    if (!list_push(bucket, fresh, _ht_node_destroy)) {
        // Only an allocation failure gets here; the caller keeps what it
        // meant to hand over, and a copy of ours is released.
        if (!copy_string && (type == HASH_STRING || type == HASH_PTR)) fresh->type = 0;
        _ht_node_destroy(fresh);
        return 0;
    }
    table->key_count++;
    return 1;
}

int _ht_put_int(HASH_TABLE *table, const char *key, int64_t value) {
    HASH_DATA d{};
    d.integer = value;
    return put_value(table, key, HASH_INT, d, nullptr, nullptr, false);
}

int _ht_put_double(HASH_TABLE *table, const char *key, double value) {
    HASH_DATA d{};
    d.number = value;
    return put_value(table, key, HASH_DOUBLE, d, nullptr, nullptr, false);
}

int _ht_put_ptr(HASH_TABLE *table, const char *key, void *ptr, HASH_DESTROY_FUNC destructor,
                HASH_DUPLICATE_FUNC duplicator) {
    HASH_DATA d{};
    d.pointer = ptr;
    return put_value(table, key, HASH_PTR, d, destructor, duplicator, false);
}

int _ht_put_string(HASH_TABLE *table, const char *key, const char *string) {
    HASH_DATA d{};
    d.string = const_cast<char *>(string);  // copied, never adopted
    return put_value(table, key, HASH_STRING, d, nullptr, nullptr, true);
}

int _ht_put_string_ptr(HASH_TABLE *table, const char *key, char *string) {
    HASH_DATA d{};
    d.string = string;
    return put_value(table, key, HASH_STRING, d, nullptr, nullptr, false);
}

static HASH_NODE *trie_leaf(HASH_TABLE *table, const char *key);

// The key's node when it holds `type`, looked up in the table's own mode;
// silent when empty or absent, logged when it holds another type. The trie's
// pointer form carries a space before its comma.
static HASH_NODE *get_typed(HASH_TABLE *table, const char *key, int type, const char *type_name) {
    const bool trie = table && table->mode == HASH_TRIE;
    HASH_NODE *node = trie ? trie_leaf(table, key) : _ht_get_node(table, key);
    if (!node) return nullptr;
    if (node->type != type) {
        n_log(LOG_ERR, "Can't get key[\"%s\"] of type %s, key is type %s", key,
              trie && type == HASH_PTR ? "HASH_PTR " : type_name, ht_node_type(node));
        return nullptr;
    }
    return node;
}

int _ht_get_int(HASH_TABLE *table, const char *key, int64_t *val) {
    N_ASSERT(val, return 0);
    HASH_NODE *node = get_typed(table, key, HASH_INT, "HASH_INT");
    if (!node) return 0;
    *val = node->data.integer;
    return 1;
}

int _ht_get_double(HASH_TABLE *table, const char *key, double *val) {
    N_ASSERT(val, return 0);
    HASH_NODE *node = get_typed(table, key, HASH_DOUBLE, "HASH_DOUBLE");
    if (!node) return 0;
    *val = node->data.number;
    return 1;
}

int _ht_get_ptr(HASH_TABLE *table, const char *key, void **val) {
    N_ASSERT(val, return 0);
    HASH_NODE *node = get_typed(table, key, HASH_PTR, "HASH_PTR");
    if (!node) return 0;
    *val = node->data.pointer;
    return 1;
}

int _ht_get_string(HASH_TABLE *table, const char *key, char **val) {
    N_ASSERT(val, return 0);
    HASH_NODE *node = get_typed(table, key, HASH_STRING, "HASH_STRING");
    if (!node) return 0;
    *val = node->data.string;
    return 1;
}

int _ht_remove(HASH_TABLE *table, const char *key) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    if (key[0] == '\0') return 0;
    LIST *bucket = bucket_of(table, key_hash(table, key));
    if (!bucket->start) {
        n_log(LOG_ERR, "Can't remove key[\"%s\"], table is empty", key);
        return 0;
    }
    LIST_NODE *ln = find_in_bucket(bucket, key);
    if (!ln) {
        n_log(LOG_ERR, "Can't delete key[\"%s\"]: inexisting key", key);
        return 0;
    }
    _ht_node_destroy(remove_list_node(bucket, ln));
    table->key_count--;
    return 1;
}

// Visits every node, buckets in index order and each bucket from its start;
// stops early when `visit` returns false. Classic tables only.
template <class F> static void for_each_node(HASH_TABLE *table, F visit) {
    if (table->mode != HASH_CLASSIC) {
        n_log(LOG_ERR, "Error in ht_foreach( %s , %s ) unsupportted mode %d", "node", "table", table->mode);
        return;
    }
    for (size_t i = 0; i < table->size; i++)
        for (LIST_NODE *ln = table->hash_table[i]->start; ln; ln = ln->next)
            if (!visit(static_cast<HASH_NODE *>(ln->ptr))) return;
}

// On an allocation failure the partial result is dropped: a caller could not
// tell a short list from a complete one.
LIST *_ht_search(HASH_TABLE *table, HASH_PREDICATE predicate) {
    N_ASSERT(table, return nullptr);
    N_ASSERT(predicate, return nullptr);
    LIST *results = new_generic_list(0);
    N_ASSERT(results, return nullptr);
    bool failed = false;
    for_each_node(table, [&](HASH_NODE *node) {
        if (predicate(node) != 1) return true;
        char *copy = copy_text(node->key);
        if (!copy || !list_push(results, copy, free)) {
            free(copy);
            n_log(LOG_ERR, "could not add key %s to the search results", node->key);
            failed = true;
        }
        return !failed;
    });
    if (failed || results->item_count == 0) list_destroy(&results);
    return results;
}

void _ht_print(HASH_TABLE *table) {
    N_ASSERT(table, return);
    for_each_node(table, [](HASH_NODE *node) {
        printf("key:%s node:%s\n", node->key, node->key);
        return true;
    });
}

int _empty_ht(HASH_TABLE *table) {
    N_ASSERT(table, return 0);
    for (size_t i = 0; i < table->size; i++) list_empty(table->hash_table[i]);
    table->key_count = 0;
    return 1;
}

int _destroy_ht(HASH_TABLE **table) {
    N_ASSERT(table && (*table), {
        n_log(LOG_ERR, "Can't destroy table: already NULL");
        return 0;
    });
    for (size_t i = 0; i < (*table)->size; i++) list_destroy(&(*table)->hash_table[i]);
    free((*table)->hash_table);
    free(*table);
    *table = nullptr;
    return 1;
}

/* ---------------------------------------------------------------- Creation and dispatch */

HASH_TABLE *new_ht(size_t size) {
    if (size == 0) {
        n_log(LOG_ERR, "Invalid size %zu for new_ht()", size);
        return nullptr;
    }
    HASH_TABLE *table = n_calloc(table, 1, HASH_TABLE);
    N_ASSERT(table, {
        n_log(LOG_ERR, "Error allocating HASH_TABLE *table");
        return nullptr;
    });
    table->seed = next_table_seed();
    table->hash_table = n_calloc(table->hash_table, size, LIST*);
    N_ASSERT(table->hash_table, {
        n_log(LOG_ERR, "Can't allocate table -> hash_table with size %zu !", size);
        free(table);
        return nullptr;
    });
    for (size_t i = 0; i < size; i++) {
        table->hash_table[i] = new_generic_list(SIZE_MAX);
        if (!table->hash_table[i]) {
            n_log(LOG_ERR, "Can't allocate table -> hash_table[ %zu ] !", i);
            for (size_t j = 0; j < i; j++) list_destroy(&table->hash_table[j]);
            free(table->hash_table);
            free(table);
            return nullptr;
        }
    }
    table->size = size;
    table->mode = HASH_CLASSIC;
    table->ht_get_node = _ht_get_node;
    table->ht_put_int = _ht_put_int;
    table->ht_put_double = _ht_put_double;
    table->ht_put_ptr = _ht_put_ptr;
    table->ht_put_string = _ht_put_string;
    table->ht_put_string_ptr = _ht_put_string_ptr;
    table->ht_get_int = _ht_get_int;
    table->ht_get_double = _ht_get_double;
    table->ht_get_ptr = _ht_get_ptr;
    table->ht_get_string = _ht_get_string;
    table->ht_remove = _ht_remove;
    table->ht_search = _ht_search;
    table->empty_ht = _empty_ht;
    table->destroy_ht = _destroy_ht;
    table->ht_print = _ht_print;
    return table;
}

HASH_NODE *ht_get_node(HASH_TABLE *table, const char *key) {
    N_ASSERT(table, return nullptr);
    N_ASSERT(key, return nullptr);
    return table->ht_get_node(table, key);
}

int ht_put_int(HASH_TABLE *table, const char *key, int64_t value) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    return table->ht_put_int(table, key, value);
}

int ht_put_double(HASH_TABLE *table, const char *key, double value) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    return table->ht_put_double(table, key, value);
}

int ht_put_ptr(HASH_TABLE *table, const char *key, void *ptr, HASH_DESTROY_FUNC destructor,
               HASH_DUPLICATE_FUNC duplicator) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    return table->ht_put_ptr(table, key, ptr, destructor, duplicator);
}

int ht_put_string(HASH_TABLE *table, const char *key, const char *string) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    return table->ht_put_string(table, key, string);
}

int ht_put_string_ptr(HASH_TABLE *table, const char *key, char *string) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    return table->ht_put_string_ptr(table, key, string);
}

int ht_get_int(HASH_TABLE *table, const char *key, int64_t *val) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    return table->ht_get_int(table, key, val);
}

int ht_get_double(HASH_TABLE *table, const char *key, double *val) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    return table->ht_get_double(table, key, val);
}

int ht_get_ptr(HASH_TABLE *table, const char *key, void **val) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    return table->ht_get_ptr(table, key, val);
}

int ht_get_string(HASH_TABLE *table, const char *key, char **val) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    return table->ht_get_string(table, key, val);
}

int ht_remove(HASH_TABLE *table, const char *key) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    return table->ht_remove(table, key);
}

LIST *ht_search(HASH_TABLE *table, HASH_PREDICATE predicate) {
    N_ASSERT(table, return nullptr);
    return table->ht_search(table, predicate);
}

void ht_print(HASH_TABLE *table) {
    N_ASSERT(table, return);
    table->ht_print(table);
}

int empty_ht(HASH_TABLE *table) {
    N_ASSERT(table, return 0);
    return table->empty_ht(table);
}

int destroy_ht(HASH_TABLE **table) {
    N_ASSERT(table, return 0);
    N_ASSERT((*table), return 0);
    return (*table)->destroy_ht(table);
}

/* ---------------------------------------------------------------- Trie mode */

// The child slot of a character: its value as a signed byte, minus the
// offset, compared unsigned, so every byte above 127 is outside the alphabet.
static size_t trie_slot(const HASH_TABLE *table, char c) {
    return static_cast<size_t>(static_cast<int64_t>(static_cast<signed char>(c))) - table->alphabet_offset;
}

static size_t child_count(const HASH_NODE *node) {
    size_t n = 0;
    for (size_t i = 0; i < node->alphabet_length; i++) n += node->children[i] != nullptr;
    return n;
}

// The end of the key's path (the root for the empty key), or null when a node
// on it is missing or a character lies outside the alphabet: such a key was
// never stored, and taking slot 0 for it would find another key's node.
static HASH_NODE *trie_walk(HASH_TABLE *table, const char *key) {
    HASH_NODE *node = table->root;
    for (size_t i = 0; node && key[i]; i++) {
        const size_t slot = trie_slot(table, key[i]);
        if (slot >= table->alphabet_length) {
            n_log(LOG_DEBUG, "Invalid value %zu for charater at index %zu of %s, set to 0", slot, i, key);
            return nullptr;
        }
        node = node->children[slot];
    }
    return node;
}

// The node holding the key's value; the empty key is never found.
static HASH_NODE *trie_leaf(HASH_TABLE *table, const char *key) {
    N_ASSERT(table, return nullptr);
    N_ASSERT(key, return nullptr);
    if (key[0] == '\0' || !table->root) return nullptr;
    HASH_NODE *node = trie_walk(table, key);
    return node && node->is_leaf ? node : nullptr;
}

// Whether every character of the key is in the alphabet; each one that is not
// is logged. The pointer put has its own spelling of the message.
static bool trie_key_fits(const HASH_TABLE *table, const char *key, bool ptr_form) {
    bool fits = true;
    for (size_t i = 0; key[i]; i++) {
        const size_t slot = trie_slot(table, key[i]);
        if (slot < table->alphabet_length) continue;
        if (ptr_form) n_log(LOG_ERR, "Invalid value %zu for character at position %zu of %s, set to 0", slot, i, key);
        else n_log(LOG_ERR, "Invalid value %zu for charater at position %zu of %s, set to 0", slot, i, key);
        fits = false;
    }
    return fits;
}

// Cuts off the end of the path of the key's first `len` characters when that
// end holds no key and leads to none: the chain below the deepest node that
// must stay (the root, a node ending another key, or one with another child).
static void trie_prune(HASH_TABLE *table, const char *key, size_t len) {
    HASH_NODE *keeper = table->root, *node = table->root;
    size_t keeper_slot = 0;
    for (size_t i = 0; i < len; i++) {
        const size_t slot = trie_slot(table, key[i]);
        if (node == table->root || node->is_leaf || child_count(node) > 1) {
            keeper = node;
            keeper_slot = slot;
        }
        node = node->children[slot];
        if (!node) return;
    }
    if (len == 0 || node->is_leaf || child_count(node) > 0) return;
    HASH_NODE *cut = keeper->children[keeper_slot];
    keeper->children[keeper_slot] = nullptr;
    trie_destroy(cut);
}

// Visits the subtree at `top` without recursion: `pre` sees each node before
// its children, `post` after them, children in slot order; either stops the
// walk by returning false. False when stopped or out of memory.
template <class Pre, class Post> static bool trie_visit(HASH_NODE *top, Pre pre, Post post) {
    struct Frame {
        HASH_NODE *node;
        size_t next;
    };
    try {
        std::vector<Frame> stack;
        if (!pre(top)) return false;
        stack.push_back({top, 0});
        while (!stack.empty()) {
            HASH_NODE *node = stack.back().node;
            size_t next = stack.back().next;
            while (next < node->alphabet_length && !node->children[next]) next++;
            if (next < node->alphabet_length) {
                stack.back().next = next + 1;
                HASH_NODE *child = node->children[next];
                if (!pre(child)) return false;
                stack.push_back({child, 0});
            } else {
                stack.pop_back();
                if (!post(node)) return false;
            }
        }
    } catch (const std::bad_alloc &) {
        n_log(LOG_ERR, "Could not allocate the trie walk");
        return false;
    }
    return true;
}

static bool always(HASH_NODE *) { return true; }

// A copy of the text added to the list, or nothing (and 0) when it cannot be.
static int push_copy(LIST *list, const char *text) {
    char *copy = copy_text(text);
    if (copy && list_push(list, copy, free)) return 1;
    free(copy);
    return 0;
}

static bool list_has_room(const LIST *list) { return list->item_limit == 0 || list->item_count < list->item_limit; }

HASH_NODE *_ht_new_node_trie(HASH_TABLE *table, char key_char) {
    N_ASSERT(table, return nullptr);
    HASH_NODE *new_hash_node = n_calloc(new_hash_node, 1, HASH_NODE);
    N_ASSERT(new_hash_node, {
        n_log(LOG_ERR, "Could not allocate new_hash_node");
        return nullptr;
    });
    new_hash_node->children = n_calloc(new_hash_node->children, table->alphabet_length, HASH_NODE*);
    N_ASSERT(new_hash_node->children, {
        n_log(LOG_ERR, "Could not allocate new_hash_node");
        free(new_hash_node);
        return nullptr;
    });
    new_hash_node->key_char = key_char;
    new_hash_node->alphabet_length = table->alphabet_length;
    return new_hash_node;
}

HASH_NODE *_ht_get_node_trie(HASH_TABLE *table, const char *key) {
    N_ASSERT(table, return nullptr);
    N_ASSERT(key, return nullptr);
    if (key[0] == '\0' || !table->root) return nullptr;
    return trie_walk(table, key);
}

int _ht_is_leaf_node_trie(HASH_TABLE *table, const char *key) {
    N_ASSERT(table, return -1);
    N_ASSERT(key, return 0);
    if (!table->root) return 0;
    const HASH_NODE *node = trie_walk(table, key);
    return node && node->is_leaf ? 1 : 0;
}

size_t _ht_check_trie_divergence(HASH_TABLE *table, const char *key) {
    N_ASSERT(table, return SIZE_MAX);
    N_ASSERT(key, return SIZE_MAX);
    N_ASSERT(table->root, return SIZE_MAX);
    size_t position = 0;
    const HASH_NODE *node = table->root;
    for (size_t i = 0; node && key[i]; i++) {
        const size_t slot = trie_slot(table, key[i]);
        if (slot >= table->alphabet_length) break;
        if (child_count(node) > (node->children[slot] ? 1u : 0u)) position = i + 1;
        node = node->children[slot];
    }
    return position;
}

char *_ht_find_longest_prefix_trie(HASH_TABLE *table, const char *key) {
    const size_t position = _ht_check_trie_divergence(table, key);
    if (position == SIZE_MAX) return nullptr;
    const size_t len = position ? position - 1 : strlen(key);
    char *longest_prefix = n_calloc(longest_prefix, len + 1, char);
    N_ASSERT(longest_prefix, return nullptr);
    memcpy(longest_prefix, key, len);
    return longest_prefix;
}

// One put for every type. The copies are made before the trie is touched, so
// a failure leaves the table as it was and an adopted value with the caller.
// A stored value of any type is replaced, and released only as what it is.
static int trie_put(HASH_TABLE *table, const char *key, int type, HASH_DATA value, HASH_DESTROY_FUNC destructor,
                    HASH_DUPLICATE_FUNC duplicator, bool copy_string) {
    N_ASSERT(table, return 0);
    N_ASSERT(key, return 0);
    N_ASSERT(table->root, return 0);
    if (!trie_key_fits(table, key, type == HASH_PTR)) return 0;
    char *key_copy = copy_text(key);
    if (!key_copy) {
        n_log(LOG_ERR, "strdup failure for key [%s]", key);
        return 0;
    }
    if (copy_string && value.string) {
        value.string = copy_text(value.string);
        if (!value.string) {
            n_log(LOG_ERR, "strdup failure for value at key [%s]", key);
            free(key_copy);
            return 0;
        }
    }
    HASH_NODE *node = table->root;
    for (size_t i = 0; key[i]; i++) {
        HASH_NODE *&child = node->children[trie_slot(table, key[i])];
        if (!child) child = _ht_new_node_trie(table, key[i]);
        if (!child) {
            n_log_assert_fail("node->children[index]");
            trie_prune(table, key, i);
            free(key_copy);
            if (copy_string) free(value.string);
            return 0;
        }
        node = child;
    }
    if (node->is_leaf) {
        const bool adopts = (type == HASH_STRING && !copy_string) || type == HASH_PTR;
        release_value(node, !adopts ? nullptr : type == HASH_PTR ? value.pointer : value.string);
        free(node->key);
    } else {
        table->key_count++;
    }
    node->is_leaf = 1;
    node->key = key_copy;
    node->type = type;
    node->data = value;
    node->destroy_func = destructor;
    node->duplicate_func = duplicator;
    return 1;
}

// The puts and gets share the classic ones, which work in the table's mode.
int _ht_put_int_trie(HASH_TABLE *table, const char *key, int64_t value) { return _ht_put_int(table, key, value); }
int _ht_put_double_trie(HASH_TABLE *table, const char *key, double value) { return _ht_put_double(table, key, value); }
int _ht_put_ptr_trie(HASH_TABLE *table, const char *key, void *ptr, HASH_DESTROY_FUNC destructor,
                     HASH_DUPLICATE_FUNC duplicator) {
    return _ht_put_ptr(table, key, ptr, destructor, duplicator);
}
int _ht_put_string_trie(HASH_TABLE *table, const char *key, const char *string) {
    return _ht_put_string(table, key, string);
}
int _ht_put_string_ptr_trie(HASH_TABLE *table, const char *key, char *string) {
    return _ht_put_string_ptr(table, key, string);
}
int _ht_get_int_trie(HASH_TABLE *table, const char *key, int64_t *val) { return _ht_get_int(table, key, val); }
int _ht_get_double_trie(HASH_TABLE *table, const char *key, double *val) { return _ht_get_double(table, key, val); }
int _ht_get_ptr_trie(HASH_TABLE *table, const char *key, void **val) { return _ht_get_ptr(table, key, val); }
int _ht_get_string_trie(HASH_TABLE *table, const char *key, char **val) { return _ht_get_string(table, key, val); }

// Only the nodes that lead to the removed key alone are freed; the cut is
// found by walking the path, so a removal allocates nothing and cannot fail
// once the key is found.
int _ht_remove_trie(HASH_TABLE *table, const char *key) {
    N_ASSERT(table, return 0);
    N_ASSERT(table->root, return 0);
    N_ASSERT(key, return 0);
    if (_ht_is_leaf_node_trie(table, key) != 1) return 0;
    HASH_NODE *node = trie_walk(table, key);
    release_value(node, nullptr);
    free(node->key);
    node->key = nullptr;
    node->is_leaf = 0;
    trie_prune(table, key, strlen(key));
    table->key_count--;
    return 1;
}

// On an allocation failure the partial result is dropped, as in classic mode.
LIST *_ht_search_trie(HASH_TABLE *table, HASH_PREDICATE predicate) {
    N_ASSERT(table, return nullptr);
    N_ASSERT(predicate, return nullptr);
    N_ASSERT(table->root, return nullptr);
    LIST *results = new_generic_list(0);
    N_ASSERT(results, return nullptr);
    const bool done = trie_visit(
        table->root,
        [&](HASH_NODE *node) {
            if (!node->is_leaf || predicate(node) != 1) return true;
            if (push_copy(results, node->key)) return true;
            n_log(LOG_ERR, "could not add key %s to the search results", node->key);
            return false;
        },
        always);
    if (!done || results->item_count == 0) list_destroy(&results);
    return results;
}

void _ht_print_trie(HASH_TABLE *table) {
    N_ASSERT(table, return);
    N_ASSERT(table->root, return);
    (void)trie_visit(
        table->root,
        [](HASH_NODE *node) {
            if (!node->is_leaf) return true;
            printf("key: %s, val: ", node->key);
            switch (node->type) {
            case HASH_INT: printf("int: %" PRId64, node->data.integer); break;
            case HASH_DOUBLE: printf("double: %f", node->data.number); break;
            case HASH_STRING: printf("%s", node->data.string ? node->data.string : "(null)"); break;
            case HASH_PTR: printf("ptr: %p", node->data.pointer); break;
            default: printf("unknwow type %d", node->type); break;
            }
            printf("\n");
            return true;
        },
        always);
}

// Emptied in place: the root stays, so emptying needs no allocation and
// cannot leave the table without a root.
int _empty_ht_trie(HASH_TABLE *table) {
    N_ASSERT(table, return 0);
    N_ASSERT(table->root, return 0);
    HASH_NODE *root = table->root;
    for (size_t i = 0; i < root->alphabet_length; i++) {
        trie_destroy(root->children[i]);
        root->children[i] = nullptr;
    }
    release_value(root, nullptr);
    free(root->key);
    root->key = nullptr;
    root->is_leaf = 0;
    table->key_count = 0;
    return 1;
}

int _destroy_ht_trie(HASH_TABLE **table) {
    N_ASSERT(table && (*table), {
        n_log(LOG_ERR, "Can't destroy table: already NULL");
        return 0;
    });
    trie_destroy((*table)->root);
    free(*table);
    *table = nullptr;
    return 1;
}

int _ht_depth_first_search(HASH_NODE *node, LIST *results) {
    if (!node) return 0;
    N_ASSERT(results, return 0);
    int own = 1;
    (void)trie_visit(node, always, [&](HASH_NODE *n) {
        if (n->is_leaf && list_has_room(results)) {
            const int added = push_copy(results, n->key);
            if (n == node) own = added;
        }
        return true;
    });
    return own;
}

HASH_TABLE *new_ht_trie(size_t alphabet_length, size_t alphabet_offset) {
    N_ASSERT(alphabet_length > 0, return nullptr);
    HASH_TABLE *table = n_calloc(table, 1, HASH_TABLE);
    N_ASSERT(table, {
        n_log(LOG_ERR, "Error allocating HASH_TABLE *table");
        return nullptr;
    });
    table->alphabet_length = alphabet_length;
    table->alphabet_offset = alphabet_offset;
    table->ht_get_node = _ht_get_node_trie;
    table->ht_put_int = _ht_put_int_trie;
    table->ht_put_double = _ht_put_double_trie;
    table->ht_put_ptr = _ht_put_ptr_trie;
    table->ht_put_string = _ht_put_string_trie;
    table->ht_put_string_ptr = _ht_put_string_ptr_trie;
    table->ht_get_int = _ht_get_int_trie;
    table->ht_get_double = _ht_get_double_trie;
    table->ht_get_ptr = _ht_get_ptr_trie;
    table->ht_get_string = _ht_get_string_trie;
    table->ht_remove = _ht_remove_trie;
    table->ht_search = _ht_search_trie;
    table->empty_ht = _empty_ht_trie;
    table->destroy_ht = _destroy_ht_trie;
    table->ht_print = _ht_print_trie;
    table->root = _ht_new_node_trie(table, 0);
    if (!table->root) {
        n_log(LOG_ERR, "Couldn't allocate new_ht_trie with alphabet_length of %zu and alphabet offset of %zu",
              alphabet_length, alphabet_offset);
        free(table);
        return nullptr;
    }
    table->mode = HASH_TRIE;
    return table;
}

// A limit of 0 means no limit in both modes: the list takes 0 as none, and the
// trie's walk asks the list for room the same way.
LIST *ht_get_completion_list(HASH_TABLE *table, const char *keybud, size_t max_results) {
    N_ASSERT(table, return nullptr);
    N_ASSERT(keybud, return nullptr);
    LIST *results = new_generic_list(max_results);
    N_ASSERT(results, return nullptr);
    if (table->mode == HASH_TRIE) {
        HASH_NODE *node = _ht_get_node_trie(table, keybud);
        if (node) {
            if (push_copy(results, keybud)) _ht_depth_first_search(node, results);
        } else if (table->root) {
            for (size_t i = 0; i < table->alphabet_length && list_has_room(results); i++) {
                if (!table->root->children[i]) continue;
                const char first[2] = {static_cast<char>(table->alphabet_offset + i), '\0'};
                push_copy(results, first);
            }
        }
    } else if (table->mode == HASH_CLASSIC) {
        const size_t n = strlen(keybud);
        for_each_node(table, [&](HASH_NODE *node) {
            if (!node->key || strncasecmp(node->key, keybud, n) != 0) return true;
            if (push_copy(results, node->key)) return true;
            // a full list refuses every later key too
            n_log(LOG_ERR, "not enough space in list or memory error, key %s not pushed !", node->key);
            return false;
        });
    } else {
        n_log(LOG_ERR, "unsupported mode %d", table->mode);
        list_destroy(&results);
        return nullptr;
    }
    if (results->item_count == 0) list_destroy(&results);
    return results;
}

/* ---------------------------------------------------------------- Sizing, resizing, duplication */

// Trial division by 2, 3 and then 6k +- 1; `i <= n / i` rather than
// `i * i <= n`, which would wrap for n near 2^64 and never end.
int is_prime(uint64_t n) {
    if (n <= 1) return 0;
    if (n <= 3) return 1;
    if (n % 2 == 0 || n % 3 == 0) return 0;
    for (uint64_t i = 5; i <= n / i; i += 6)
        if (n % i == 0 || n % (i + 2) == 0) return 0;
    return 1;
}

// The largest prime below 2^64: nothing above it fits.
constexpr uint64_t HT_LARGEST_PRIME = 18446744073709551557ULL;

uint64_t next_prime(uint64_t n) {
    if (n < 2) return 2;
    if (n >= HT_LARGEST_PRIME) return 0;
    uint64_t p = n + 1;
    while (!is_prime(p)) p++;
    return p;
}

static bool classic_only(const HASH_TABLE *table) {
    if (table->mode == HASH_CLASSIC) return true;
    n_log(LOG_ERR, "unsupported table->mode (%d instead or %d)", table->mode, HASH_CLASSIC);
    return false;
}

int ht_get_table_collision_percentage(HASH_TABLE *table) {
    N_ASSERT(table, return -1);
    if (!classic_only(table)) return -1;
    size_t crowded = 0;
    for (size_t i = 0; i < table->size; i++) crowded += table->hash_table[i]->item_count > 1;
    return static_cast<int>(crowded * 100 / table->size);
}

size_t ht_get_optimal_size(HASH_TABLE *table) {
    N_ASSERT(table, return 0);
    if (!classic_only(table)) return 0;
    const size_t m = static_cast<size_t>(static_cast<double>(table->key_count) * 1.3);
    if (m < 2) return 2;
    return is_prime(m) ? m : next_prime(m);
}

// The bucket array at `count` entries, or null (logged) with the old one kept.
static LIST **resize_buckets(HASH_TABLE *table, size_t count) {
    void *p = nullptr;
    if (count <= SIZE_MAX / sizeof(LIST *))
        p = _n_realloc(table->hash_table, "(*table)->hash_table", count * sizeof(LIST *), "LIST*", __FILE__, __func__,
                       __LINE__);
    else
        n_log(LOG_ERR, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", "(*table)->hash_table", "LIST*",
              count, "realloc error", __LINE__, __FILE__);
    return static_cast<LIST **>(p);
}

int ht_resize(HASH_TABLE **table, size_t size) {
    N_ASSERT(table, return 0);
    N_ASSERT((*table), return 0);
    HASH_TABLE *t = *table;
    if (!classic_only(t)) return 0;
    if (size == 0) {
        n_log(LOG_ERR, "invalid size %zu for hash table %p", size, (void *)t);
        return 0;
    }
    const size_t old_size = t->size;
    if (size > old_size) {
        LIST **grown = resize_buckets(t, size);
        if (!grown) return 0;
        t->hash_table = grown;
        for (size_t i = old_size; i < size; i++) {
            t->hash_table[i] = new_generic_list(SIZE_MAX);
            if (t->hash_table[i]) continue;
            n_log(LOG_ERR, "Can't allocate table -> hash_table[ %zu ] !", i);
            for (size_t j = old_size; j < i; j++) list_destroy(&t->hash_table[j]);
            // a failed shrink keeps the larger array, which only wastes room
            if (LIST **back = resize_buckets(t, old_size)) t->hash_table = back;
            return 0;
        }
    }
    // Nothing can fail from here on: nodes move between existing lists.
    for (size_t i = 0; i < old_size; i++)
        for (LIST_NODE *ln = t->hash_table[i]->start; ln; ln = ln->next) static_cast<HASH_NODE *>(ln->ptr)->need_rehash = 1;
    const size_t visit = size > old_size ? size : old_size;
    for (size_t i = 0; i < visit; i++) {
        LIST *bucket = t->hash_table[i];
        while (bucket->start && static_cast<HASH_NODE *>(bucket->start->ptr)->need_rehash) {
            LIST_NODE *ln = list_node_shift(bucket);
            HASH_NODE *node = static_cast<HASH_NODE *>(ln->ptr);
            node->need_rehash = 0;
            list_node_push(t->hash_table[node->hash_value % size], ln);
        }
    }
    if (size < old_size) {
        for (size_t i = size; i < old_size; i++) list_destroy(&t->hash_table[i]);
        if (LIST **shrunk = resize_buckets(t, size)) t->hash_table = shrunk;
    }
    t->size = size;
    return 1;
}

int ht_optimize(HASH_TABLE **table) {
    N_ASSERT(table, return 0);
    N_ASSERT((*table), return 0);
    if (!classic_only(*table)) return 0;
    const size_t optimal = ht_get_optimal_size(*table);
    if (optimal == 0) return 0;
    if (ht_get_table_collision_percentage(*table) == 0) return 0;
    if (!ht_resize(table, optimal)) return 0;
    return ht_get_table_collision_percentage(*table) != 0 ? 1 : 0;
}

// The copy owns only what it duplicated: a pointer without a duplicate
// function is shared and the copy never destroys it.
HASH_TABLE *ht_duplicate(HASH_TABLE *table) {
    N_ASSERT(table, return nullptr);
    if (table->mode != HASH_CLASSIC) {
        n_log(LOG_ERR, "unsupported mode %d for table %p", table->mode, (void *)table);
        return nullptr;
    }
    HASH_TABLE *copy = new_ht(table->size);
    if (!copy) {
        n_log(LOG_ERR, "couldn't allocate duplicated table of %zu elements", table->size);
        return nullptr;
    }
    bool ok = true;
    for_each_node(table, [&](HASH_NODE *node) {
        switch (node->type) {
        case HASH_INT: ok = ht_put_int(copy, node->key, node->data.integer); break;
        case HASH_DOUBLE: ok = ht_put_double(copy, node->key, node->data.number); break;
        case HASH_STRING: ok = ht_put_string(copy, node->key, node->data.string); break;
        case HASH_PTR:
            if (node->duplicate_func && node->data.pointer) {
                void *dup = node->duplicate_func(node->data.pointer);
                if (!dup) {
                    n_log(LOG_ERR, "duplicate_func returned NULL for key [%s]", node->key);
                    ok = false;
                } else if (!ht_put_ptr(copy, node->key, dup, node->destroy_func, node->duplicate_func)) {
                    // the copy never took it: it is ours to release
                    if (node->destroy_func) node->destroy_func(dup);
                    ok = false;
                }
            } else {
                ok = ht_put_ptr(copy, node->key, node->data.pointer, nullptr, nullptr);
            }
            break;
        default: n_log(LOG_ERR, "unknown node type %d for key [%s], skipping", node->type, node->key); break;
        }
        return ok;
    });
    if (!ok) {
        n_log(LOG_ERR, "problem when trying to duplicate value in %p, duplication cancelled", (void *)table);
        destroy_ht(&copy);
    }
    return copy;
}

/* ---------------------------------------------------------------- Pointers by hash value */

// The list node of the first node in the value's bucket with that hash_value.
static LIST_NODE *find_by_value(const HASH_TABLE *table, uint64_t hash_value) {
    for (LIST_NODE *ln = bucket_of(table, hash_value)->start; ln; ln = ln->next)
        if (static_cast<const HASH_NODE *>(ln->ptr)->hash_value == hash_value) return ln;
    return nullptr;
}

HASH_NODE *ht_get_node_ex(HASH_TABLE *table, uint64_t hash_value) {
    N_ASSERT(table, return nullptr);
    N_ASSERT(table->mode == HASH_CLASSIC, return nullptr);
    LIST_NODE *ln = find_by_value(table, hash_value);
    return ln ? static_cast<HASH_NODE *>(ln->ptr) : nullptr;
}

int ht_get_ptr_ex(HASH_TABLE *table, uint64_t hash_value, void **val) {
    N_ASSERT(table, return 0);
    N_ASSERT(table->mode == HASH_CLASSIC, return 0);
    N_ASSERT(val, return 0);
    HASH_NODE *node = ht_get_node_ex(table, hash_value);
    if (!node) return 0;
    if (node->type != HASH_PTR) {
        n_log(LOG_ERR, "Can't get key[\"%zu\"] of type HASH_PTR, key is type %s", hash_value, ht_node_type(node));
        return 0;
    }
    *val = node->data.pointer;
    return 1;
}

int ht_put_ptr_ex(HASH_TABLE *table, uint64_t hash_value, void *ptr, HASH_DESTROY_FUNC destructor,
                  HASH_DUPLICATE_FUNC duplicator) {
    N_ASSERT(table, return 0);
    N_ASSERT(table->mode == HASH_CLASSIC, return 0);
    if (HASH_NODE *node = ht_get_node_ex(table, hash_value)) {
        const char *name = node->key ? node->key : "(null)";
        if (node->type != HASH_PTR) {
            n_log(LOG_ERR, "Can't add key[\"%s\"] with type HASH_PTR , key already exist with type %s", name,
                  ht_node_type(node));
            return 0;
        }
        if (node->data.pointer && !node->destroy_func)
            n_log(LOG_ERR, "Can't free previous key[\"%s\"] with type HASH_PTR , no hash node destroy func", name);
        release_value(node, ptr);
        node->type = HASH_PTR;
        node->data.pointer = ptr;
        node->destroy_func = destructor;
        node->duplicate_func = duplicator;
        return 1;
    }
    HASH_NODE *node = n_calloc(node, 1, HASH_NODE);
    N_ASSERT(node, return 0);
    node->hash_value = hash_value;
    node->type = HASH_PTR;
    node->data.pointer = ptr;
    node->destroy_func = destructor;
    node->duplicate_func = duplicator;
    if (!list_push(bucket_of(table, hash_value), node, _ht_node_destroy)) {
        free(node);  // the caller keeps its pointer
        return 0;
    }
    table->key_count++;
    return 1;
}

int ht_remove_ex(HASH_TABLE *table, uint64_t hash_value) {
    N_ASSERT(table, return 0);
    N_ASSERT(table->mode == HASH_CLASSIC, return 0);
    LIST *bucket = bucket_of(table, hash_value);
    if (!bucket->start) {
        n_log(LOG_ERR, "Can't remove key[\"%zu\"], table is empty", hash_value);
        return 0;
    }
    LIST_NODE *ln = find_by_value(table, hash_value);
    if (!ln) {
        n_log(LOG_ERR, "Can't delete key[\"%zu\"]: inexisting key", hash_value);
        return 0;
    }
    _ht_node_destroy(remove_list_node(bucket, ln));
    table->key_count--;
    return 1;
}
