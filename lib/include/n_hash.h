// Hash tables: text keys mapped to typed values (64-bit integer, double, owned
// text, or an untyped pointer with its destroy and duplicate functions).
// Results: 1 success, 0 failure, or a pointer that is null on failure. The
// table owns its nodes, their key copies and their texts; a pointer value
// belongs to whoever its destroy function frees it for. A failed put leaves an
// adopted text or pointer with the caller. No lock: a table shared between
// threads is guarded by its owner; only creating tables is thread-safe.
#pragma once

#include "n_list.h"

#include <cstddef>
#include <cstdint>
#include <pthread.h>

// Value types of a node.
constexpr int HASH_INT = 1;
constexpr int HASH_DOUBLE = 2;
constexpr int HASH_STRING = 4;
constexpr int HASH_PTR = 8;

// Table modes: buckets hashed under a per-table seed, or a character trie.
constexpr int HASH_CLASSIC = 128;
constexpr int HASH_TRIE = 256;

struct HASH_NODE;
struct HASH_TABLE;

using HASH_DESTROY_FUNC = void (*)(void *ptr);
using HASH_DUPLICATE_FUNC = void *(*)(void *ptr);
using HASH_PREDICATE = int (*)(HASH_NODE *node);  // exactly 1: match

union HASH_DATA {
    int64_t integer;
    double number;
    char *string;  // owned, may be null
    void *pointer;
};

// One record for both modes; the fields a mode does not use stay zero.
struct HASH_NODE {
    char *key;                           // owned copy; null only in nodes made by hash value
    char key_char;                       // trie: the character of this node; 0 in classic nodes
    uint64_t hash_value;                 // classic: first word of the key's MurmurHash3_x64_128 under the table's seed
    int type;                            // HASH_INT, HASH_DOUBLE, HASH_STRING or HASH_PTR
    HASH_DATA data;
    HASH_DESTROY_FUNC destroy_func;      // HASH_PTR: frees the pointer; may be null
    HASH_DUPLICATE_FUNC duplicate_func;  // HASH_PTR: copies the pointer; may be null
    int is_leaf;                         // trie: a stored key ends here
    int need_rehash;                     // set while a resize moves the nodes
    HASH_NODE **children;                // trie: alphabet_length slots; null in classic nodes
    size_t alphabet_length;              // length of children
};

// The record and its operation slots. Public functions check their arguments
// and call the slot, so callers never test the mode.
struct HASH_TABLE {
    size_t size;              // classic: number of buckets
    size_t key_count;         // keys held
    uint64_t seed;            // classic: MurmurHash3 seed of this table
    LIST **hash_table;        // classic: the buckets, lists of HASH_NODE that never fill
    HASH_NODE *root;          // trie root
    size_t alphabet_length;   // trie: child slots per node
    size_t alphabet_offset;   // trie: character value of child slot 0
    int mode;                 // HASH_CLASSIC or HASH_TRIE

    HASH_NODE *(*ht_get_node)(HASH_TABLE *table, const char *key);
    int (*ht_put_int)(HASH_TABLE *table, const char *key, int64_t value);
    int (*ht_put_double)(HASH_TABLE *table, const char *key, double value);
    int (*ht_put_ptr)(HASH_TABLE *table, const char *key, void *ptr, HASH_DESTROY_FUNC destructor,
                      HASH_DUPLICATE_FUNC duplicator);
    int (*ht_put_string)(HASH_TABLE *table, const char *key, const char *string);
    int (*ht_put_string_ptr)(HASH_TABLE *table, const char *key, char *string);
    int (*ht_get_int)(HASH_TABLE *table, const char *key, int64_t *val);
    int (*ht_get_double)(HASH_TABLE *table, const char *key, double *val);
    int (*ht_get_ptr)(HASH_TABLE *table, const char *key, void **val);
    int (*ht_get_string)(HASH_TABLE *table, const char *key, char **val);
    int (*ht_remove)(HASH_TABLE *table, const char *key);
    LIST *(*ht_search)(HASH_TABLE *table, HASH_PREDICATE predicate);
    int (*empty_ht)(HASH_TABLE *table);
    int (*destroy_ht)(HASH_TABLE **table);
    void (*ht_print)(HASH_TABLE *table);
};

// Public interface.
// - Every function refuses a null table, key or output with the precondition
//   log; an empty key is never stored and never found (no message for a get).
// - A put over a key of another type fails and keeps the stored value; over a
//   key of the same type it replaces the value, releasing the old text or
//   calling the old pointer's destroy function, unless the new value is the
//   very one already held.
[[nodiscard]] HASH_TABLE *new_ht(size_t size);                                 // size buckets, a seed of its own; 0 refused
int         ht_put_int(HASH_TABLE *table, const char *key, int64_t value);
int         ht_put_double(HASH_TABLE *table, const char *key, double value);
int         ht_put_string(HASH_TABLE *table, const char *key, const char *string);  // stores a copy; null stores null
int         ht_put_string_ptr(HASH_TABLE *table, const char *key, char *string);     // adopts a heap text on success
int         ht_put_ptr(HASH_TABLE *table, const char *key, void *ptr, HASH_DESTROY_FUNC destructor,
                       HASH_DUPLICATE_FUNC duplicator);                              // both functions may be null
int         ht_get_int(HASH_TABLE *table, const char *key, int64_t *val);           // 0 when absent or of another type
int         ht_get_double(HASH_TABLE *table, const char *key, double *val);
int         ht_get_string(HASH_TABLE *table, const char *key, char **val);          // the table's own text, not a copy
int         ht_get_ptr(HASH_TABLE *table, const char *key, void **val);
HASH_NODE  *ht_get_node(HASH_TABLE *table, const char *key);
int         ht_remove(HASH_TABLE *table, const char *key);
[[nodiscard]] LIST *ht_search(HASH_TABLE *table, HASH_PREDICATE predicate);  // copies of matching keys (free()), null when none
void        ht_print(HASH_TABLE *table);                                      // "key:%s node:%s\n" per key on stdout
int         empty_ht(HASH_TABLE *table);                                      // drops every key; size and seed kept
int         destroy_ht(HASH_TABLE **table);                                   // frees and nulls *table
const char *ht_node_type(const HASH_NODE *node);                              // "HASH_INT" ... "HASH_UNKNOWN", "NULL_NODE"

// MurmurHash3. The x64 variant takes a 64-bit seed that starts both halves;
// below 2^32 it equals the published function. The x86 variants are the
// published ones, offered for callers; tables do not use them.
void MurmurHash3_x64_128(const void *key, uint64_t len, uint64_t seed, uint64_t out[2]);
void MurmurHash3_x86_32(const void *key, uint64_t len, uint32_t seed, uint32_t out[1]);
void MurmurHash3_x86_128(const void *key, uint64_t len, uint32_t seed, uint32_t out[4]);

// Classic-mode operations behind the slots, with the arguments of the public
// functions; callable directly on a classic table.
HASH_NODE *_ht_get_node(HASH_TABLE *table, const char *key);
int        _ht_put_int(HASH_TABLE *table, const char *key, int64_t value);
int        _ht_put_double(HASH_TABLE *table, const char *key, double value);
int        _ht_put_ptr(HASH_TABLE *table, const char *key, void *ptr, HASH_DESTROY_FUNC destructor,
                       HASH_DUPLICATE_FUNC duplicator);
int        _ht_put_string(HASH_TABLE *table, const char *key, const char *string);
int        _ht_put_string_ptr(HASH_TABLE *table, const char *key, char *string);
int        _ht_get_int(HASH_TABLE *table, const char *key, int64_t *val);
int        _ht_get_double(HASH_TABLE *table, const char *key, double *val);
int        _ht_get_ptr(HASH_TABLE *table, const char *key, void **val);
int        _ht_get_string(HASH_TABLE *table, const char *key, char **val);
int        _ht_remove(HASH_TABLE *table, const char *key);
LIST      *_ht_search(HASH_TABLE *table, HASH_PREDICATE predicate);
int        _empty_ht(HASH_TABLE *table);
int        _destroy_ht(HASH_TABLE **table);
void       _ht_print(HASH_TABLE *table);

// Node makers: an unlinked node with the key copied and hashed, or null (an
// empty key makes none). The typed makers set the value; on failure they
// leave an adopted text or pointer with the caller.
HASH_NODE *_ht_new_node(HASH_TABLE *table, const char *key);
HASH_NODE *_ht_new_int_node(HASH_TABLE *table, const char *key, int64_t value);
HASH_NODE *_ht_new_double_node(HASH_TABLE *table, const char *key, double value);
HASH_NODE *_ht_new_string_node(HASH_TABLE *table, const char *key, const char *value);  // copies the text
HASH_NODE *_ht_new_string_ptr_node(HASH_TABLE *table, const char *key, char *value);
HASH_NODE *_ht_new_ptr_node(HASH_TABLE *table, const char *key, void *value, HASH_DESTROY_FUNC destructor,
                            HASH_DUPLICATE_FUNC duplicator);
void       _ht_node_destroy(void *node);  // frees key, text, children; calls destroy_func; a bucket's item destructor

/* ---- trie mode ----
   Keys are walked a character at a time over a fixed alphabet (a length and
   the value of slot 0). A key with a character outside it is refused by the
   puts and found by nothing: folding it into slot 0 would let one key
   overwrite another. Completion works in both modes. */
[[nodiscard]] HASH_TABLE *new_ht_trie(size_t alphabet_length, size_t alphabet_offset);  // length at least 1
[[nodiscard]] LIST *ht_get_completion_list(HASH_TABLE *table, const char *keybud, size_t max_results);  // texts (free()); 0: no limit; null when none
HASH_NODE *_ht_new_node_trie(HASH_TABLE *table, char key_char);        // unlinked, no key, empty children
HASH_NODE *_ht_get_node_trie(HASH_TABLE *table, const char *key);      // end of the key's path, leaf or not
int        _ht_is_leaf_node_trie(HASH_TABLE *table, const char *key);  // 1 / 0; -1 for a null table
size_t     _ht_check_trie_divergence(HASH_TABLE *table, const char *key);  // 1-based, 0 none, SIZE_MAX on bad arguments
char      *_ht_find_longest_prefix_trie(HASH_TABLE *table, const char *key);  // new text (free()), null on failure
int        _ht_depth_first_search(HASH_NODE *node, LIST *results);    // leaf keys at and below node, children first

// Trie-mode operations behind the slots, with the arguments of the public
// functions. A put over a key of another type replaces the value.
int        _ht_put_int_trie(HASH_TABLE *table, const char *key, int64_t value);
int        _ht_put_double_trie(HASH_TABLE *table, const char *key, double value);
int        _ht_put_ptr_trie(HASH_TABLE *table, const char *key, void *ptr, HASH_DESTROY_FUNC destructor,
                            HASH_DUPLICATE_FUNC duplicator);
int        _ht_put_string_trie(HASH_TABLE *table, const char *key, const char *string);
int        _ht_put_string_ptr_trie(HASH_TABLE *table, const char *key, char *string);
int        _ht_get_int_trie(HASH_TABLE *table, const char *key, int64_t *val);
int        _ht_get_double_trie(HASH_TABLE *table, const char *key, double *val);
int        _ht_get_ptr_trie(HASH_TABLE *table, const char *key, void **val);
int        _ht_get_string_trie(HASH_TABLE *table, const char *key, char **val);
int        _ht_remove_trie(HASH_TABLE *table, const char *key);
LIST      *_ht_search_trie(HASH_TABLE *table, HASH_PREDICATE predicate);  // nodes before their children, slots in order
int        _empty_ht_trie(HASH_TABLE *table);
int        _destroy_ht_trie(HASH_TABLE **table);
void       _ht_print_trie(HASH_TABLE *table);

/* ---- classic-mode sizing, resizing, duplication and keyless nodes ----
   Classic tables only; another mode is refused with a log line. Resizing
   moves nodes between buckets and never hashes a key again. */
int         is_prime(uint64_t n);
uint64_t    next_prime(uint64_t n);                                  // 2 below 2; 0 when no 64-bit prime is above n
int         ht_get_table_collision_percentage(HASH_TABLE *table);     // buckets holding 2+ nodes, in %; -1 on failure
size_t      ht_get_optimal_size(HASH_TABLE *table);                   // prime near 1.3 x keys; 0 on failure
int         ht_resize(HASH_TABLE **table, size_t size);               // on failure the table is as before
int         ht_optimize(HASH_TABLE **table);                          // 1 when collisions remain after resizing, else 0
[[nodiscard]] HASH_TABLE *ht_duplicate(HASH_TABLE *table);            // values with a duplicate function are copied, other pointers shared unowned

// Pointer values addressed by a caller-chosen 64-bit value instead of a key:
// bucket value modulo size, matched on hash_value. A table holding such
// keyless nodes is used only through these, empty_ht and destroy_ht.
HASH_NODE  *ht_get_node_ex(HASH_TABLE *table, uint64_t hash_value);
int         ht_get_ptr_ex(HASH_TABLE *table, uint64_t hash_value, void **val);
int         ht_put_ptr_ex(HASH_TABLE *table, uint64_t hash_value, void *ptr, HASH_DESTROY_FUNC destructor,
                          HASH_DUPLICATE_FUNC duplicator);
int         ht_remove_ex(HASH_TABLE *table, uint64_t hash_value);

// Process-wide state: the key that every table seed derives from, made once,
// and the count of classic tables created so far, guarded by an error-checking
// mutex (a relock by the same thread is reported, not a deadlock).
extern uint64_t _ht_process_key;
extern pthread_once_t _ht_key_once;
extern uint64_t _ht_table_counter;
extern pthread_mutex_t _ht_counter_lock;
void _ht_key_init(void);
