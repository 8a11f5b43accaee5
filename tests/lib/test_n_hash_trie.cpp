// Hash tables beyond the bucket basics: trie mode and completion (a seeded
// model test against a std::map prefix scan, keys outside the alphabet, the
// removal cut, long keys, allocation failures), and the classic utilities:
// primes checked against coreutils `factor`, resizing and optimising (model
// test over random resize sequences), duplication and its sharing rules (run
// under ASan, a shared or twice-freed value shows), pointers by hash value.
#include "n_hash.h"

#include "n_log.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

using qvtest::AllocFailGuard;
using qvtest::ListPtr;
using qvtest::LogCapture;
using qvtest::TablePtr;

namespace {

// Pointer values that know whether they are alive: a double destroy or a
// destroy of something never made fails the test, and ASan sees the rest.
struct Obj {
    int id;
};
std::set<Obj *> live;
int destroys = 0;

Obj *new_obj(int id) {
    Obj *o = new Obj{id};
    live.insert(o);
    return o;
}
void destroy_obj(void *p) {
    Obj *o = static_cast<Obj *>(p);
    EXPECT_EQ(live.erase(o), 1u) << "destroy of an object that is not alive";
    destroys++;
    delete o;
}
void *dup_obj(void *p) { return new_obj(static_cast<Obj *>(p)->id); }
void *dup_fails(void *) { return nullptr; }

std::vector<std::string> texts(const LIST *l) {
    std::vector<std::string> v;
    for (LIST_NODE *n = l ? l->start : nullptr; n; n = n->next) v.emplace_back(static_cast<char *>(n->ptr));
    return v;
}

std::vector<std::string> completion(HASH_TABLE *t, const std::string &prefix, size_t most) {
    ListPtr l{ht_get_completion_list(t, prefix.c_str(), most)};
    if (l) {
        EXPECT_GT(l->item_count, 0u) << "an empty list is returned as null";
    }
    return texts(l.get());
}

int match_all(HASH_NODE *) { return 1; }

TablePtr letters() { return TablePtr{new_ht_trie(26, 'a')}; }

}  // namespace

/* ---------------------------------------------------------------- Trie basics */

TEST(NHashTrie, TwoKeysMakeOnePathAndCompleteInSlotOrder) {
    TablePtr t = letters();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->mode, HASH_TRIE);
    EXPECT_EQ(t->size, 0u);
    EXPECT_EQ(t->hash_table, nullptr);
    ASSERT_EQ(ht_put_int(t.get(), "abc", 1), 1);
    ASSERT_EQ(ht_put_int(t.get(), "abd", 2), 1);
    EXPECT_EQ(t->key_count, 2u);

    // root -> a -> b -> {c, d}
    const HASH_NODE *a = t->root->children[0];
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->key_char, 'a');
    EXPECT_EQ(a->is_leaf, 0);
    const HASH_NODE *b = a->children[1];
    ASSERT_NE(b, nullptr);
    EXPECT_NE(b->children[2], nullptr);
    EXPECT_NE(b->children[3], nullptr);
    EXPECT_STREQ(b->children[2]->key, "abc");
    size_t nodes = 0;
    for (size_t i = 0; i < 26; i++) nodes += t->root->children[i] != nullptr;
    EXPECT_EQ(nodes, 1u);

    EXPECT_EQ(completion(t.get(), "ab", 10), (std::vector<std::string>{"ab", "abc", "abd"}));
    // no stored key starts with x: the first characters present instead
    EXPECT_EQ(completion(t.get(), "x", 10), (std::vector<std::string>{"a"}));

    int64_t v = 0;
    EXPECT_EQ(ht_get_int(t.get(), "abd", &v), 1);
    EXPECT_EQ(v, 2);
    // a prefix that is not a key: its inner node, but no value
    EXPECT_EQ(ht_get_node(t.get(), "ab"), b);
    LogCapture log;
    EXPECT_EQ(ht_get_int(t.get(), "ab", &v), 0);
    EXPECT_EQ(ht_get_int(t.get(), "abz", &v), 0);
    EXPECT_EQ(log.text(), "");
}

TEST(NHashTrie, PutAgainReplacesAcrossTypesAndReleasesOnlyWhatItOwns) {
    TablePtr t = letters();
    const int destroys_before = destroys;
    ASSERT_EQ(ht_put_string(t.get(), "k", "text"), 1);
    ASSERT_EQ(ht_put_int(t.get(), "k", 7), 1);  // the text is freed (ASan: no leak)
    EXPECT_EQ(t->key_count, 1u);
    int64_t v = 0;
    EXPECT_EQ(ht_get_int(t.get(), "k", &v), 1);
    EXPECT_EQ(v, 7);
    Obj *o = new_obj(1);
    ASSERT_EQ(ht_put_ptr(t.get(), "k", o, destroy_obj, nullptr), 1);  // an integer is not freed as a text
    ASSERT_EQ(ht_put_ptr(t.get(), "k", o, destroy_obj, nullptr), 1);  // the held pointer survives
    EXPECT_EQ(destroys, destroys_before);
    ASSERT_EQ(ht_put_double(t.get(), "k", 2.5), 1);
    EXPECT_EQ(destroys, destroys_before + 1);
    char *text = strdup("adopted");
    ASSERT_EQ(ht_put_string_ptr(t.get(), "k", text), 1);
    ASSERT_EQ(ht_put_string_ptr(t.get(), "k", text), 1);  // the held text survives
    char *got = nullptr;
    EXPECT_EQ(ht_get_string(t.get(), "k", &got), 1);
    EXPECT_EQ(got, text);
    EXPECT_EQ(t->key_count, 1u);

    LogCapture log;
    void *p = nullptr;
    EXPECT_EQ(ht_get_ptr(t.get(), "k", &p), 0);
    EXPECT_TRUE(log.contains("Can't get key[\"k\"] of type HASH_PTR , key is type HASH_STRING")) << log.text();
    EXPECT_EQ(ht_get_int(t.get(), "k", &v), 0);
    EXPECT_TRUE(log.contains("Can't get key[\"k\"] of type HASH_INT, key is type HASH_STRING")) << log.text();
}

TEST(NHashTrie, EmptyKeyIsCountedSeenByWalksButNeverFound) {
    TablePtr t = letters();
    ASSERT_EQ(ht_put_int(t.get(), "", 5), 1);
    ASSERT_EQ(ht_put_int(t.get(), "b", 6), 1);
    EXPECT_EQ(t->key_count, 2u);
    EXPECT_EQ(t->root->is_leaf, 1);
    LogCapture log;
    int64_t v = 0;
    EXPECT_EQ(ht_get_int(t.get(), "", &v), 0);
    EXPECT_EQ(ht_get_node(t.get(), ""), nullptr);
    EXPECT_EQ(log.text(), "");
    ListPtr all{ht_search(t.get(), match_all)};
    EXPECT_EQ(texts(all.get()), (std::vector<std::string>{"", "b"}));
    // and it can be removed again
    EXPECT_EQ(ht_remove(t.get(), ""), 1);
    EXPECT_EQ(t->root->is_leaf, 0);
    EXPECT_EQ(t->key_count, 1u);
}

// Characters outside the alphabet used to fold into slot 0, so "Abc" wrote
// over "abc" and a get of one returned the other's value.
TEST(NHashTrie, KeysOutsideTheAlphabetAreRefusedNotFolded) {
    TablePtr t = letters();
    ASSERT_EQ(ht_put_int(t.get(), "abc", 1), 1);
    LogCapture log;
    EXPECT_EQ(ht_put_int(t.get(), "Abc", 2), 0);
    EXPECT_TRUE(log.contains("Invalid value " + std::to_string((size_t)('A' - 'a')) +
                             " for charater at position 0 of Abc, set to 0"))
        << log.text();
    EXPECT_EQ(ht_put_int(t.get(), "aBC", 2), 0);  // one line per character outside
    EXPECT_TRUE(log.contains("at position 1 of aBC")) << log.text();
    EXPECT_TRUE(log.contains("at position 2 of aBC")) << log.text();
    Obj *o = new_obj(3);
    EXPECT_EQ(ht_put_ptr(t.get(), "ab\xc3\xa9", o, destroy_obj, nullptr), 0);  // bytes above 127 too
    EXPECT_TRUE(log.contains("for character at position 2 of ab")) << log.text();
    destroy_obj(o);  // a refused put leaves the pointer with the caller
    EXPECT_EQ(t->key_count, 1u);

    int64_t v = 0;
    EXPECT_EQ(ht_get_int(t.get(), "abc", &v), 1);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(ht_get_int(t.get(), "Abc", &v), 0);
    EXPECT_EQ(ht_get_node(t.get(), "Abc"), nullptr);
    EXPECT_EQ(ht_get_node(t.get(), "\x80"), nullptr);
    EXPECT_EQ(ht_remove(t.get(), "Abc"), 0);
    EXPECT_EQ(ht_get_int(t.get(), "abc", &v), 1);
    ListPtr all{ht_search(t.get(), match_all)};
    EXPECT_EQ(texts(all.get()), (std::vector<std::string>{"abc"}));
}

// A limit of 0 is documented as none; it used to leave only the prefix.
TEST(NHashTrie, CompletionLimits) {
    TablePtr t = letters();
    for (const char *k : {"ab", "abc", "abd", "abde", "b"}) ASSERT_EQ(ht_put_int(t.get(), k, 1), 1);
    // the prefix first; a prefix that is a key also stands last, after the keys below it
    const std::vector<std::string> all{"ab", "abc", "abde", "abd", "ab"};
    EXPECT_EQ(completion(t.get(), "ab", 0), all);
    EXPECT_EQ(completion(t.get(), "ab", 100), all);
    EXPECT_EQ(completion(t.get(), "ab", 3), (std::vector<std::string>{"ab", "abc", "abde"}));
    EXPECT_EQ(completion(t.get(), "ab", 1), (std::vector<std::string>{"ab"}));
    EXPECT_EQ(completion(t.get(), "zz", 0), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(completion(t.get(), "zz", 1), (std::vector<std::string>{"a"}));

    TablePtr empty = letters();
    EXPECT_EQ(ht_get_completion_list(empty.get(), "a", 0), nullptr);

    LogCapture log;
    EXPECT_EQ(ht_get_completion_list(nullptr, "a", 0), nullptr);
    EXPECT_EQ(ht_get_completion_list(t.get(), nullptr, 0), nullptr);
    EXPECT_TRUE(log.contains("if( !(table) )")) << log.text();
    EXPECT_TRUE(log.contains("if( !(keybud) )")) << log.text();
}

TEST(NHashTrie, ClassicCompletionIgnoresCaseAndHonoursTheLimit) {
    TablePtr t{new_ht(7)};
    for (const char *k : {"Alpha", "alps", "beta", "ALPINE", "al"}) ASSERT_EQ(ht_put_int(t.get(), k, 1), 1);
    std::vector<std::string> got = completion(t.get(), "alp", 0);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"ALPINE", "Alpha", "alps"}));
    EXPECT_EQ(completion(t.get(), "alp", 2).size(), 2u);
    EXPECT_TRUE(completion(t.get(), "zeta", 0).empty());
}

TEST(NHashTrie, DivergenceAndLongestPrefix) {
    TablePtr t = letters();
    for (const char *k : {"abcd", "abx", "q"}) ASSERT_EQ(ht_put_int(t.get(), k, 1), 1);
    struct Case {
        const char *key;
        size_t divergence;
        const char *prefix;
    } const cases[] = {
        {"abcd", 3, "ab"},  // c's parent b also holds x
        {"abx", 3, "ab"},
        {"q", 1, ""},       // the root holds a too
        {"a", 1, ""},
        {"zzz", 1, ""},
        {"", 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(_ht_check_trie_divergence(t.get(), c.key), c.divergence);
        std::unique_ptr<char, decltype(&free)> p{_ht_find_longest_prefix_trie(t.get(), c.key), free};
        ASSERT_TRUE(p);
        EXPECT_STREQ(p.get(), c.prefix);
    }
    TablePtr single = letters();
    ASSERT_EQ(ht_put_int(single.get(), "abc", 1), 1);
    EXPECT_EQ(_ht_check_trie_divergence(single.get(), "abc"), 0u);
    std::unique_ptr<char, decltype(&free)> whole{_ht_find_longest_prefix_trie(single.get(), "abc"), free};
    EXPECT_STREQ(whole.get(), "abc");
    LogCapture log;
    EXPECT_EQ(_ht_check_trie_divergence(nullptr, "a"), SIZE_MAX);
    EXPECT_EQ(_ht_is_leaf_node_trie(nullptr, "a"), -1);
    EXPECT_EQ(_ht_is_leaf_node_trie(t.get(), "ab"), 0);
    EXPECT_EQ(_ht_is_leaf_node_trie(t.get(), "abx"), 1);
}

// Removing keeps every other key's path: a stored key on the removed key's
// path, keys below the removed one, and the branches beside it.
TEST(NHashTrie, RemovalCutsOnlyWhatLeadsToTheRemovedKey) {
    TablePtr t = letters();
    for (const char *k : {"a", "abcde", "abcdz", "abc", "abq"}) ASSERT_EQ(ht_put_int(t.get(), k, 1), 1);
    EXPECT_EQ(ht_remove(t.get(), "ab"), 0);  // only a prefix
    EXPECT_EQ(ht_remove(t.get(), "abc"), 1);  // has keys below: only unmarked
    EXPECT_NE(ht_get_node(t.get(), "abc"), nullptr);
    EXPECT_EQ(ht_get_node(t.get(), "abc")->is_leaf, 0);
    EXPECT_EQ(ht_remove(t.get(), "abcde"), 1);  // e goes, d stays for z
    EXPECT_EQ(ht_get_node(t.get(), "abcde"), nullptr);
    EXPECT_NE(ht_get_node(t.get(), "abcd"), nullptr);
    EXPECT_EQ(ht_remove(t.get(), "abcdz"), 1);  // c, d and z go: b still leads to q
    EXPECT_EQ(ht_get_node(t.get(), "abc"), nullptr);
    EXPECT_NE(ht_get_node(t.get(), "abq"), nullptr);
    EXPECT_EQ(ht_remove(t.get(), "abq"), 1);  // b and q go: a is a key
    EXPECT_EQ(ht_get_node(t.get(), "ab"), nullptr);
    ASSERT_NE(ht_get_node(t.get(), "a"), nullptr);
    EXPECT_EQ(ht_get_node(t.get(), "a")->is_leaf, 1);
    EXPECT_EQ(t->key_count, 1u);
    EXPECT_EQ(ht_remove(t.get(), "a"), 1);
    for (size_t i = 0; i < 26; i++) EXPECT_EQ(t->root->children[i], nullptr);
    EXPECT_EQ(ht_remove(t.get(), "a"), 0);
}

TEST(NHashTrie, SearchPrintEmptyAndDestroy) {
    TablePtr t = letters();
    const int destroys_before = destroys;
    ASSERT_EQ(ht_put_int(t.get(), "bb", -3), 1);
    ASSERT_EQ(ht_put_double(t.get(), "a", 1.5), 1);
    ASSERT_EQ(ht_put_string(t.get(), "ab", "txt"), 1);
    ASSERT_EQ(ht_put_ptr(t.get(), "c", new_obj(1), destroy_obj, nullptr), 1);
    ListPtr all{ht_search(t.get(), match_all)};
    EXPECT_EQ(texts(all.get()), (std::vector<std::string>{"a", "ab", "bb", "c"}));
    ListPtr none{ht_search(t.get(), [](HASH_NODE *) { return 2; })};  // only exactly 1 matches
    EXPECT_EQ(none, nullptr);

    testing::internal::CaptureStdout();
    ht_print(t.get());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("key: a, val: double: 1.500000\nkey: ab, val: txt\nkey: bb, val: int: -3\nkey: c, val: ptr: 0x"),
              std::string::npos)
        << out;

    EXPECT_EQ(empty_ht(t.get()), 1);
    EXPECT_EQ(destroys, destroys_before + 1);
    EXPECT_EQ(t->key_count, 0u);
    EXPECT_EQ(ht_search(t.get(), match_all), nullptr);
    ASSERT_EQ(ht_put_ptr(t.get(), "c", new_obj(2), destroy_obj, nullptr), 1);  // still usable
    HASH_TABLE *raw = t.release();
    EXPECT_EQ(destroy_ht(&raw), 1);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(destroys, destroys_before + 2);
    LogCapture log;
    EXPECT_EQ(_destroy_ht_trie(&raw), 0);
    EXPECT_TRUE(log.contains("Can't destroy table: already NULL")) << log.text();
}

// Every walk is iterative: a key a few hundred thousand characters long must
// not overflow the stack when it is put, completed, searched or freed.
TEST(NHashTrie, VeryLongKeysDoNotRecurse) {
    TablePtr t{new_ht_trie(2, 'a')};
    std::string key(300000, 'a');
    key.back() = 'b';
    ASSERT_EQ(ht_put_int(t.get(), key.c_str(), 1), 1);
    ASSERT_EQ(ht_put_int(t.get(), key.substr(0, 1000).c_str(), 2), 1);
    int64_t v = 0;
    EXPECT_EQ(ht_get_int(t.get(), key.c_str(), &v), 1);
    EXPECT_EQ(completion(t.get(), "aaa", 0).size(), 3u);
    ListPtr all{ht_search(t.get(), match_all)};
    EXPECT_EQ(texts(all.get()).size(), 2u);
    EXPECT_EQ(ht_remove(t.get(), key.c_str()), 1);
    ASSERT_EQ(ht_put_int(t.get(), key.c_str(), 1), 1);
    EXPECT_EQ(empty_ht(t.get()), 1);
    ASSERT_EQ(ht_put_int(t.get(), key.c_str(), 1), 1);
}  // destroyed with the long key in it

TEST(NHashTrie, RefusedArguments) {
    LogCapture log;
    EXPECT_EQ(new_ht_trie(0, 'a'), nullptr);
    EXPECT_TRUE(log.contains("if( !(alphabet_length > 0) )")) << log.text();
    TablePtr t = letters();
    int64_t v;
    EXPECT_EQ(ht_put_int(t.get(), nullptr, 1), 0);
    EXPECT_EQ(ht_get_int(t.get(), nullptr, &v), 0);
    EXPECT_EQ(ht_get_int(t.get(), "a", nullptr), 0);
    EXPECT_EQ(ht_remove(t.get(), nullptr), 0);
    EXPECT_EQ(_ht_put_int_trie(nullptr, "a", 1), 0);
    EXPECT_EQ(_ht_remove_trie(nullptr, "a"), 0);
    EXPECT_EQ(_ht_depth_first_search(nullptr, nullptr), 0);
    EXPECT_EQ(_ht_depth_first_search(t->root, nullptr), 0);
    EXPECT_TRUE(log.contains("if( !(results) )")) << log.text();
}

// Each allocation of a put fails in turn: a failed put leaves the table as it
// was (no half-built path, the old value kept) and an adopted value with the
// caller; ASan reports a leak or a double release.
TEST(NHashTrie, PutsFailCleanlyAtEveryAllocation) {
    AllocFailGuard guard;
    for (const bool replace : {false, true}) {
        SCOPED_TRACE(replace ? "replacing" : "new key");
        bool done = false;
        for (long n = 0; n < 20 && !done; n++) {
            SCOPED_TRACE("failing allocation " + std::to_string(n));
            TablePtr t = letters();
            ASSERT_EQ(ht_put_int(t.get(), "ab", 1), 1);
            if (replace) {
                ASSERT_EQ(ht_put_string(t.get(), "abxyz", "old"), 1);
            }
            const size_t count = t->key_count;
            n_alloc_fail_after(n);
            const int r = ht_put_string(t.get(), "abxyz", "new");
            n_alloc_fail_after(-1);
            char *got = nullptr;
            if (r == 1) {
                done = true;
                EXPECT_EQ(ht_get_string(t.get(), "abxyz", &got), 1);
                EXPECT_STREQ(got, "new");
                EXPECT_EQ(t->key_count, replace ? count : count + 1);
                continue;
            }
            EXPECT_EQ(t->key_count, count);
            if (replace) {
                EXPECT_EQ(ht_get_string(t.get(), "abxyz", &got), 1);
                EXPECT_STREQ(got, "old");
            } else {
                EXPECT_EQ(ht_get_node(t.get(), "abx"), nullptr) << "half-built path left behind";
                EXPECT_EQ(completion(t.get(), "ab", 0), (std::vector<std::string>{"ab", "ab"}));
            }
        }
        EXPECT_TRUE(done);
    }
    bool made = false;
    for (long n = 0; n < 5 && !made; n++) {
        n_alloc_fail_after(n);
        HASH_TABLE *t = new_ht_trie(26, 'a');
        n_alloc_fail_after(-1);
        made = t != nullptr;
        if (t) destroy_ht(&t);
    }
    EXPECT_TRUE(made);
}

/* ---------------------------------------------------------------- Trie model test */

namespace {

// The trie's completion order, from a sorted set of keys: children before
// their node (a key after the keys it prefixes), siblings in slot order.
bool post_order_less(const std::string &a, const std::string &b) {
    if (b.size() < a.size() && a.compare(0, b.size(), b) == 0) return true;
    if (a.size() < b.size() && b.compare(0, a.size(), a) == 0) return false;
    return a < b;
}

using Value = std::variant<int64_t, std::string, Obj *>;

// What the completion list must hold, from a prefix scan of the model.
std::vector<std::string> model_completion(const std::map<std::string, Value> &m, const std::string &prefix,
                                          size_t most) {
    std::vector<std::string> out;
    std::vector<std::string> below;
    for (auto it = m.lower_bound(prefix); it != m.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
        below.push_back(it->first);
    if (!prefix.empty() && !below.empty()) {
        std::sort(below.begin(), below.end(), post_order_less);
        out.push_back(prefix);
        for (const auto &k : below) out.push_back(k);
    } else {
        std::set<char> first;
        for (const auto &[k, v] : m)
            if (!k.empty()) first.insert(k[0]);
        for (char c : first) out.emplace_back(1, c);
    }
    if (most && out.size() > most) out.resize(most);
    return out;
}

}  // namespace

TEST(NHashTrie, RandomOperationsAgreeWithAMapPrefixScan) {
    const int destroys_before = destroys;
    std::mt19937_64 rng(20261210);
    TablePtr t{new_ht_trie(4, 'a')};  // a small alphabet: many keys share prefixes
    std::map<std::string, Value> model;
    auto random_key = [&](size_t max_len) {
        std::string k(rng() % (max_len + 1), 'a');
        for (auto &c : k) c = static_cast<char>('a' + rng() % 4);
        return k;
    };
    for (int step = 0; step < 20000; step++) {
        SCOPED_TRACE("step " + std::to_string(step));
        const std::string k = random_key(6);
        switch (rng() % 8) {
        case 0:
        case 1: {
            const int64_t v = static_cast<int64_t>(rng());
            ASSERT_EQ(ht_put_int(t.get(), k.c_str(), v), 1);
            model[k] = v;
            break;
        }
        case 2: {
            const std::string s = std::string("v").append(std::to_string(step));
            ASSERT_EQ(ht_put_string(t.get(), k.c_str(), s.c_str()), 1);
            model[k] = s;
            break;
        }
        case 3: {
            Obj *o = new_obj(step);
            ASSERT_EQ(ht_put_ptr(t.get(), k.c_str(), o, destroy_obj, nullptr), 1);
            model[k] = o;
            break;
        }
        case 4: {
            const bool present = model.count(k) != 0;
            EXPECT_EQ(ht_remove(t.get(), k.c_str()), present ? 1 : 0);
            model.erase(k);
            break;
        }
        case 5: {
            const size_t most = rng() % 6;
            const std::string prefix = random_key(4);
            ASSERT_EQ(completion(t.get(), prefix, most), model_completion(model, prefix, most)) << prefix << " " << most;
            break;
        }
        default: {
            auto it = model.find(k);
            int64_t iv = 0;
            char *sv = nullptr;
            void *pv = nullptr;
            const bool found = it != model.end() && !k.empty();
            EXPECT_EQ(ht_get_int(t.get(), k.c_str(), &iv), found && std::holds_alternative<int64_t>(it->second));
            EXPECT_EQ(ht_get_string(t.get(), k.c_str(), &sv), found && std::holds_alternative<std::string>(it->second));
            EXPECT_EQ(ht_get_ptr(t.get(), k.c_str(), &pv), found && std::holds_alternative<Obj *>(it->second));
            if (found) {
                if (auto *i = std::get_if<int64_t>(&it->second)) {
                    EXPECT_EQ(iv, *i);
                }
                if (auto *s = std::get_if<std::string>(&it->second)) {
                    EXPECT_EQ(std::string(sv), *s);
                }
                if (auto *o = std::get_if<Obj *>(&it->second)) {
                    EXPECT_EQ(pv, *o);
                }
            }
            break;
        }
        }
        ASSERT_EQ(t->key_count, model.size());
    }
    // a search visits nodes before their children: the map's own order
    ListPtr all{ht_search(t.get(), match_all)};
    std::vector<std::string> keys;
    for (const auto &[k, v] : model) keys.push_back(k);
    EXPECT_EQ(texts(all.get()), keys);
    size_t pointers = 0;
    for (const auto &[k, v] : model) pointers += std::holds_alternative<Obj *>(v);
    EXPECT_EQ(live.size(), pointers) << "every replaced or removed pointer destroyed once";
    t.reset();
    EXPECT_TRUE(live.empty());
    EXPECT_GT(destroys, destroys_before);
}

/* ---------------------------------------------------------------- Primes */

namespace {

// coreutils `factor` over the numbers: for each, whether it is prime.
std::map<uint64_t, bool> factor_says(const std::vector<uint64_t> &numbers) {
    qvtest::TempDir dir;
    std::string in;
    for (uint64_t n : numbers) in += std::to_string(n) + "\n";
    qvtest::write_file(dir.file("in"), in);
    std::string out;
    EXPECT_EQ(qvtest::run_command("factor < '" + dir.file("in") + "'", &out), 0);
    std::map<uint64_t, bool> prime;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string head;
        words >> head;  // "N:"
        const uint64_t n = std::stoull(head.substr(0, head.size() - 1));
        std::vector<std::string> factors;
        for (std::string f; words >> f;) factors.push_back(f);
        prime[n] = factors.size() == 1 && factors[0] == std::to_string(n);
    }
    EXPECT_EQ(prime.size(), numbers.size());
    return prime;
}

}  // namespace

TEST(NHashPrimes, AgreeWithCoreutilsFactor) {
    if (!qvtest::have_program("factor")) GTEST_SKIP() << "coreutils factor is not installed";
    // a dense start, then windows around powers of two where a wrapping
    // square or an off-by-one in the 6k +- 1 steps would show
    std::vector<std::pair<uint64_t, uint64_t>> ranges{{0, 30000}};
    for (int bits : {16, 24, 31, 32, 33, 40})
        ranges.push_back({(uint64_t{1} << bits) - 600, (uint64_t{1} << bits) + 600});
    for (const auto &[lo, hi] : ranges) {
        SCOPED_TRACE(std::to_string(lo) + ".." + std::to_string(hi));
        std::vector<uint64_t> numbers;
        for (uint64_t n = lo; n <= hi; n++) numbers.push_back(n);
        const std::map<uint64_t, bool> prime = factor_says(numbers);
        uint64_t primes = 0;
        for (const auto &[n, p] : prime) {
            ASSERT_EQ(is_prime(n), p ? 1 : 0) << n;
            primes += p;
        }
        EXPECT_GT(primes, 0u);
        // next_prime: the first prime strictly above, while it lies in range
        // (every number of the dense start, a sample of the costlier windows)
        for (uint64_t n = lo; n <= hi; n += lo == 0 ? 1 : 7) {
            auto it = prime.upper_bound(n);
            while (it != prime.end() && !it->second) ++it;
            if (it == prime.end()) break;
            ASSERT_EQ(next_prime(n), n < 2 ? 2 : it->first) << n;
        }
    }
}

TEST(NHashPrimes, EdgesOfTheRange) {
    EXPECT_EQ(next_prime(0), 2u);
    EXPECT_EQ(next_prime(1), 2u);
    EXPECT_EQ(next_prime(2), 3u);
    EXPECT_EQ(is_prime(UINT64_MAX), 0);  // 3 x 5 x 17 x ...; must end, not wrap
    EXPECT_EQ(is_prime(UINT64_MAX - 1), 0);
    // no prime above the largest 64-bit one: 0, not a wrapped or endless search
    EXPECT_EQ(next_prime(18446744073709551557ULL), 0u);
    EXPECT_EQ(next_prime(UINT64_MAX), 0u);
}

/* ---------------------------------------------------------------- Sizing and resizing */

namespace {

// Every node sits in the bucket its stored hash picks; the counts add up.
std::set<std::string> bucket_keys(const HASH_TABLE *t) {
    std::set<std::string> keys;
    size_t count = 0;
    for (size_t i = 0; i < t->size; i++)
        for (LIST_NODE *ln = t->hash_table[i]->start; ln; ln = ln->next) {
            const HASH_NODE *n = static_cast<const HASH_NODE *>(ln->ptr);
            EXPECT_EQ(n->hash_value % t->size, i);
            EXPECT_EQ(n->need_rehash, 0);
            if (n->key) keys.insert(n->key);
            count++;
        }
    EXPECT_EQ(count, t->key_count);
    return keys;
}

void expect_values(HASH_TABLE *t, const std::map<std::string, int64_t> &model) {
    for (const auto &[k, v] : model) {
        int64_t got = 0;
        EXPECT_EQ(ht_get_int(t, k.c_str(), &got), 1) << k;
        EXPECT_EQ(got, v) << k;
    }
    std::set<std::string> keys;
    for (const auto &[k, v] : model) keys.insert(k);
    EXPECT_EQ(bucket_keys(t), keys);
}

}  // namespace

TEST(NHashSizing, OptimalSizeAndCollisions) {
    TablePtr t{new_ht(10)};
    EXPECT_EQ(ht_get_optimal_size(t.get()), 2u);
    ASSERT_EQ(ht_put_int(t.get(), "only", 1), 1);
    EXPECT_EQ(ht_get_optimal_size(t.get()), 2u);
    for (int i = 1; i < 10; i++) ASSERT_EQ(ht_put_int(t.get(), std::string("k").append(std::to_string(i)).c_str(), i), 1);
    EXPECT_EQ(ht_get_optimal_size(t.get()), 13u);
    for (int i = 10; i < 100; i++) ASSERT_EQ(ht_put_int(t.get(), std::string("k").append(std::to_string(i)).c_str(), i), 1);
    EXPECT_EQ(ht_get_optimal_size(t.get()), 131u);  // 130 is not prime

    TablePtr one{new_ht(1)};
    EXPECT_EQ(ht_get_table_collision_percentage(one.get()), 0);
    ASSERT_EQ(ht_put_int(one.get(), "a", 1), 1);
    EXPECT_EQ(ht_get_table_collision_percentage(one.get()), 0);
    ASSERT_EQ(ht_put_int(one.get(), "b", 1), 1);
    EXPECT_EQ(ht_get_table_collision_percentage(one.get()), 100);
    size_t crowded = 0;
    for (size_t i = 0; i < t->size; i++) crowded += t->hash_table[i]->item_count > 1;
    EXPECT_EQ(ht_get_table_collision_percentage(t.get()), (int)(crowded * 100 / 10));
}

TEST(NHashSizing, ResizeSevenToThreeToElevenKeepsEveryKey) {
    TablePtr t{new_ht(7)};
    std::map<std::string, int64_t> model;
    for (int i = 0; i < 20; i++) {
        const std::string k = "key" + std::to_string(i);
        ASSERT_EQ(ht_put_int(t.get(), k.c_str(), i * 11), 1);
        model[k] = i * 11;
    }
    HASH_TABLE *raw = t.get();
    ASSERT_EQ(ht_resize(&raw, 3), 1);
    EXPECT_EQ(raw->size, 3u);
    expect_values(raw, model);
    ASSERT_EQ(ht_resize(&raw, 11), 1);
    EXPECT_EQ(raw->size, 11u);
    EXPECT_EQ(raw->key_count, 20u);
    expect_values(raw, model);
    ASSERT_EQ(ht_resize(&raw, 11), 1);  // equal size
    expect_values(raw, model);
}

TEST(NHashSizing, RandomResizeSequencesAgreeWithAMap) {
    std::mt19937_64 rng(424242);
    TablePtr t{new_ht(5)};
    std::map<std::string, int64_t> model;
    for (int step = 0; step < 3000; step++) {
        SCOPED_TRACE("step " + std::to_string(step));
        const std::string k = std::string("k").append(std::to_string(rng() % 400));
        switch (rng() % 10) {
        case 0: {
            HASH_TABLE *raw = t.get();
            const size_t n = 1 + rng() % 300;
            ASSERT_EQ(ht_resize(&raw, n), 1);
            ASSERT_EQ(raw->size, n);
            expect_values(raw, model);
            break;
        }
        case 1: {
            HASH_TABLE *raw = t.get();
            const int before = ht_get_table_collision_percentage(raw);
            const size_t size_before = raw->size;
            const int r = ht_optimize(&raw);
            if (before == 0) {
                EXPECT_EQ(r, 0);
                EXPECT_EQ(raw->size, size_before);
            } else {
                EXPECT_EQ(raw->size, ht_get_optimal_size(raw));
                EXPECT_EQ(r, ht_get_table_collision_percentage(raw) != 0 ? 1 : 0);
            }
            expect_values(raw, model);
            break;
        }
        case 2:
        case 3:
            EXPECT_EQ(ht_remove(t.get(), k.c_str()), model.erase(k) ? 1 : 0);
            break;
        default: {
            const int64_t v = static_cast<int64_t>(rng());
            ASSERT_EQ(ht_put_int(t.get(), k.c_str(), v), 1);
            model[k] = v;
        }
        }
        ASSERT_EQ(t->key_count, model.size());
    }
    expect_values(t.get(), model);
}

// A growth that fails at any of its allocations leaves the table as it was.
TEST(NHashSizing, FailedGrowthLeavesTheTableAsItWas) {
    AllocFailGuard guard;
    std::map<std::string, int64_t> model;
    bool done = false;
    for (long n = 0; n < 20 && !done; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        TablePtr t{new_ht(4)};
        for (int i = 0; i < 12; i++) {
            const std::string k = std::string("k").append(std::to_string(i));
            ASSERT_EQ(ht_put_int(t.get(), k.c_str(), i), 1);
            model[k] = i;
        }
        HASH_TABLE *raw = t.get();
        LogCapture log;
        n_alloc_fail_after(n);
        const int r = ht_resize(&raw, 9);
        n_alloc_fail_after(-1);
        if (r == 1) {
            done = true;
            EXPECT_EQ(n, 6) << "the array, then one list per new bucket";
            EXPECT_EQ(raw->size, 9u);
        } else {
            EXPECT_EQ(raw->size, 4u);
            EXPECT_TRUE(log.contains(n == 0 ? "( (*table)->hash_table *)realloc( LIST* * sizeof( 72 ) )"
                                            : "Can't allocate table -> hash_table[ " + std::to_string(4 + n - 1) + " ] !"))
                << log.text();
        }
        expect_values(raw, model);
    }
    EXPECT_TRUE(done);
    TablePtr t{new_ht(4)};
    HASH_TABLE *raw = t.get();
    LogCapture log;
    EXPECT_EQ(ht_resize(&raw, SIZE_MAX), 0);
    EXPECT_EQ(raw->size, 4u);
    EXPECT_EQ(ht_resize(&raw, 0), 0);
    EXPECT_TRUE(log.contains("invalid size 0 for hash table")) << log.text();
}

TEST(NHashSizing, OptimizeWithoutCollisionsDoesNothing) {
    TablePtr t{new_ht(101)};
    ASSERT_EQ(ht_put_int(t.get(), "a", 1), 1);
    HASH_TABLE *raw = t.get();
    EXPECT_EQ(ht_optimize(&raw), 0);
    EXPECT_EQ(raw->size, 101u);
    TablePtr crowded{new_ht(1)};
    for (const char *k : {"a", "b", "c"}) ASSERT_EQ(ht_put_int(crowded.get(), k, 1), 1);
    raw = crowded.get();
    const int r = ht_optimize(&raw);
    EXPECT_EQ(raw->size, 3u);  // 3 x 1.3 = 3.9, cut to 3, a prime
    EXPECT_EQ(r, ht_get_table_collision_percentage(raw) != 0 ? 1 : 0);
    expect_values(raw, {{"a", 1}, {"b", 1}, {"c", 1}});
}

TEST(NHashSizing, TrieTablesAreRefused) {
    TablePtr t = letters();
    HASH_TABLE *raw = t.get();
    LogCapture log;
    EXPECT_EQ(ht_get_table_collision_percentage(raw), -1);
    EXPECT_EQ(ht_get_optimal_size(raw), 0u);
    EXPECT_EQ(ht_resize(&raw, 5), 0);
    EXPECT_EQ(ht_optimize(&raw), 0);
    EXPECT_TRUE(log.contains("unsupported table->mode (256 instead or 128)")) << log.text();
    EXPECT_EQ(ht_duplicate(raw), nullptr);
    EXPECT_TRUE(log.contains("unsupported mode 256 for table")) << log.text();
    EXPECT_EQ(ht_put_ptr_ex(raw, 1, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(log.contains("if( !(table->mode == HASH_CLASSIC) )")) << log.text();
    HASH_TABLE *none = nullptr;
    EXPECT_EQ(ht_resize(&none, 5), 0);
    EXPECT_TRUE(log.contains("if( !((*table)) )")) << log.text();
}

/* ---------------------------------------------------------------- Duplication */

// Values with a duplicate function are copied and owned by each table on its
// own; other pointers are shared and only the source destroys them. Destroying
// both tables in either order destroys each object exactly once (ASan and the
// live set catch a shared free or a double free).
TEST(NHashDuplicate, FollowsTheSharingRules) {
    for (const bool copy_first : {true, false}) {
        SCOPED_TRACE(copy_first ? "copy destroyed first" : "source destroyed first");
        const int destroys_before = destroys;
        TablePtr src{new_ht(5)};
        Obj *owned = new_obj(1), *shared = new_obj(2), *raw_obj = new_obj(3);
        ASSERT_EQ(ht_put_ptr(src.get(), "owned", owned, destroy_obj, dup_obj), 1);
        ASSERT_EQ(ht_put_ptr(src.get(), "shared", shared, destroy_obj, nullptr), 1);
        ASSERT_EQ(ht_put_ptr(src.get(), "raw", raw_obj, nullptr, nullptr), 1);
        ASSERT_EQ(ht_put_ptr(src.get(), "nullp", nullptr, destroy_obj, dup_obj), 1);
        ASSERT_EQ(ht_put_string(src.get(), "s", "text"), 1);
        ASSERT_EQ(ht_put_string(src.get(), "nulls", nullptr), 1);
        ASSERT_EQ(ht_put_int(src.get(), "i", -9), 1);
        ASSERT_EQ(ht_put_double(src.get(), "d", 0.25), 1);

        TablePtr copy{ht_duplicate(src.get())};
        ASSERT_TRUE(copy);
        EXPECT_EQ(copy->size, src->size);
        EXPECT_NE(copy->seed, src->seed);
        EXPECT_EQ(copy->key_count, src->key_count);
        EXPECT_EQ(bucket_keys(copy.get()), bucket_keys(src.get()));

        const HASH_NODE *o = ht_get_node(copy.get(), "owned");
        EXPECT_NE(o->data.pointer, owned);
        EXPECT_EQ(static_cast<Obj *>(o->data.pointer)->id, 1);
        EXPECT_EQ(o->destroy_func, destroy_obj);
        EXPECT_EQ(o->duplicate_func, dup_obj);
        for (const char *k : {"shared", "raw"}) {
            const HASH_NODE *n = ht_get_node(copy.get(), k);
            EXPECT_EQ(n->data.pointer, ht_get_node(src.get(), k)->data.pointer) << k;
            EXPECT_EQ(n->destroy_func, nullptr) << k;
            EXPECT_EQ(n->duplicate_func, nullptr) << k;
        }
        char *s1 = nullptr, *s2 = nullptr;
        EXPECT_EQ(ht_get_string(copy.get(), "s", &s1), 1);
        EXPECT_EQ(ht_get_string(src.get(), "s", &s2), 1);
        EXPECT_STREQ(s1, "text");
        EXPECT_NE(s1, s2);
        EXPECT_EQ(ht_get_string(copy.get(), "nulls", &s1), 1);
        EXPECT_EQ(s1, nullptr);
        int64_t i = 0;
        double d = 0;
        EXPECT_EQ(ht_get_int(copy.get(), "i", &i), 1);
        EXPECT_EQ(i, -9);
        EXPECT_EQ(ht_get_double(copy.get(), "d", &d), 1);
        EXPECT_EQ(d, 0.25);

        if (copy_first) {
            copy.reset();
            EXPECT_EQ(destroys, destroys_before + 1) << "the copy destroys only what it duplicated";
            EXPECT_TRUE(live.count(shared));
            src.reset();
        } else {
            src.reset();
            EXPECT_EQ(destroys, destroys_before + 2);
            copy.reset();  // the copy's shared pointer is gone, and must not be touched
        }
        EXPECT_EQ(destroys, destroys_before + 3);
        EXPECT_EQ(live.count(raw_obj), 1u);
        destroy_obj(raw_obj);
    }
}

TEST(NHashDuplicate, AFailedCopyIsAbandonedWithoutLeaks) {
    AllocFailGuard guard;
    {
        TablePtr src{new_ht(3)};
        ASSERT_EQ(ht_put_ptr(src.get(), "bad", new_obj(1), destroy_obj, dup_fails), 1);
        LogCapture log;
        EXPECT_EQ(ht_duplicate(src.get()), nullptr);
        EXPECT_TRUE(log.contains("duplicate_func returned NULL for key [bad]")) << log.text();
        EXPECT_TRUE(log.contains("problem when trying to duplicate value in")) << log.text();
    }
    // every allocation in turn: the copy is abandoned, a duplicated value it
    // never took is released, the source is untouched
    bool done = false;
    for (long n = 0; n < 40 && !done; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        TablePtr src{new_ht(3)};
        for (const char *k : {"a", "b", "c", "d"}) ASSERT_EQ(ht_put_ptr(src.get(), k, new_obj(1), destroy_obj, dup_obj), 1);
        ASSERT_EQ(ht_put_string(src.get(), "s", "text"), 1);
        const size_t live_before = live.size();
        n_alloc_fail_after(n);
        HASH_TABLE *copy = ht_duplicate(src.get());
        n_alloc_fail_after(-1);
        if (copy) {
            done = true;
            EXPECT_EQ(live.size(), live_before + 4);
            destroy_ht(&copy);
        }
        EXPECT_EQ(live.size(), live_before);
        EXPECT_EQ(src->key_count, 5u);
    }
    EXPECT_TRUE(done);
}

/* ---------------------------------------------------------------- Pointers by hash value */

TEST(NHashByValue, PutGetReplaceRemove) {
    TablePtr t{new_ht(7)};
    const int destroys_before = destroys;
    Obj *a = new_obj(1), *b = new_obj(2);
    ASSERT_EQ(ht_put_ptr_ex(t.get(), 12345, a, destroy_obj, nullptr), 1);
    ASSERT_EQ(ht_put_ptr_ex(t.get(), 12345 + 7, new_obj(3), destroy_obj, nullptr), 1);  // same bucket
    EXPECT_EQ(t->key_count, 2u);
    void *p = nullptr;
    EXPECT_EQ(ht_get_ptr_ex(t.get(), 12345, &p), 1);
    EXPECT_EQ(p, a);
    EXPECT_EQ(ht_get_node_ex(t.get(), 12345)->key, nullptr);
    ASSERT_EQ(ht_put_ptr_ex(t.get(), 12345, b, destroy_obj, nullptr), 1);  // replaces, destroys a
    EXPECT_EQ(destroys, destroys_before + 1);
    EXPECT_EQ(t->key_count, 2u);
    EXPECT_EQ(ht_get_ptr_ex(t.get(), 12345, &p), 1);
    EXPECT_EQ(p, b);

    LogCapture log;
    EXPECT_EQ(ht_get_ptr_ex(t.get(), 99, &p), 0);
    EXPECT_EQ(ht_remove_ex(t.get(), 12345 + 1), 0);
    EXPECT_TRUE(log.contains("Can't remove key[\"12346\"], table is empty")) << log.text();
    EXPECT_EQ(ht_remove_ex(t.get(), 12345 + 14), 0);
    EXPECT_TRUE(log.contains("Can't delete key[\"12359\"]: inexisting key")) << log.text();
    EXPECT_EQ(ht_remove_ex(t.get(), 12345), 1);
    EXPECT_EQ(destroys, destroys_before + 2);
    EXPECT_EQ(t->key_count, 1u);

    // no destroy function: the old pointer is overwritten with a complaint
    Obj *c = new_obj(4);
    ASSERT_EQ(ht_put_ptr_ex(t.get(), 5, c, nullptr, nullptr), 1);
    ASSERT_EQ(ht_put_ptr_ex(t.get(), 5, nullptr, nullptr, nullptr), 1);
    EXPECT_TRUE(log.contains("no hash node destroy func")) << log.text();
    destroy_obj(c);

    // keyless nodes survive resizing: they move by their value
    HASH_TABLE *raw = t.get();
    ASSERT_EQ(ht_resize(&raw, 2), 1);
    EXPECT_EQ(ht_get_ptr_ex(raw, 12345 + 7, &p), 1);
    EXPECT_EQ(static_cast<Obj *>(p)->id, 3);
    EXPECT_EQ(empty_ht(raw), 1);
    EXPECT_EQ(destroys, destroys_before + 4);
}

TEST(NHashByValue, ATextKeyOfAnotherTypeIsNotReplaced) {
    TablePtr t{new_ht(3)};
    ASSERT_EQ(ht_put_int(t.get(), "k", 4), 1);
    const uint64_t h = ht_get_node(t.get(), "k")->hash_value;
    LogCapture log;
    EXPECT_EQ(ht_put_ptr_ex(t.get(), h, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(log.contains("Can't add key[\"k\"] with type HASH_PTR , key already exist with type HASH_INT")) << log.text();
    void *p = nullptr;
    EXPECT_EQ(ht_get_ptr_ex(t.get(), h, &p), 0);
    EXPECT_TRUE(log.contains("of type HASH_PTR, key is type HASH_INT")) << log.text();
    int64_t v = 0;
    EXPECT_EQ(ht_get_int(t.get(), "k", &v), 1);
    EXPECT_EQ(v, 4);
}
