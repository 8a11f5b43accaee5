// Linked list: a seeded random model test against std::list, the sorted
// insertions' stability, the refusals and their log lines, and allocation
// failures injected one by one.
#include "n_list.h"

#include "n_log.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <vector>

using qvtest::LogCapture;

namespace {

// An item with a sort key and an identity, so equal keys stay distinguishable.
struct Item {
    int key;
    int id;
};

int cmp_items(const void *a, const void *b) {
    int x = static_cast<const Item *>(a)->key, y = static_cast<const Item *>(b)->key;
    return (x > y) - (x < y);
}

int destroyed = 0;
void count_destroy(void *) { destroyed++; }
void delete_item(void *p) { delete static_cast<Item *>(p); }

// Walks the list both ways and checks every structural invariant; returns the
// items from start to end.
std::vector<void *> check_list(const LIST *l) {
    std::vector<void *> items;
    EXPECT_EQ(l->start == nullptr, l->end == nullptr);
    if (l->start) {
        EXPECT_EQ(l->start->prev, nullptr);
        EXPECT_EQ(l->end->next, nullptr);
    }
    const LIST_NODE *prev = nullptr;
    for (const LIST_NODE *n = l->start; n; n = n->next) {
        EXPECT_EQ(n->prev, prev);
        items.push_back(n->ptr);
        prev = n;
        if (items.size() > l->item_count + 1) break;  // a cycle must not hang the test
    }
    EXPECT_EQ(prev, l->end);
    EXPECT_EQ(items.size(), l->item_count);
    size_t back = 0;
    for (const LIST_NODE *n = l->end; n && back <= l->item_count; n = n->prev) back++;
    EXPECT_EQ(back, l->item_count);
    return items;
}

std::vector<int> keys_of(const LIST *l) {
    std::vector<int> keys;
    for (void *p : check_list(l)) keys.push_back(static_cast<Item *>(p)->key);
    return keys;
}

std::vector<int> ids_of(const LIST *l) {
    std::vector<int> ids;
    for (void *p : check_list(l)) ids.push_back(static_cast<Item *>(p)->id);
    return ids;
}

struct ListDeleter {
    void operator()(LIST *l) const { list_destroy(&l); }
};
using ListPtr = std::unique_ptr<LIST, ListDeleter>;

}  // namespace

// Unsorted operations at both ends, node forms, removal from the middle and
// search, checked after every step against std::list, with and without a
// limit.
TEST(NList, RandomModelAgainstStdList) {
    for (size_t limit : {size_t{0}, size_t{7}, SIZE_MAX}) {
        for (uint32_t seed = 1; seed <= 4; seed++) {
            SCOPED_TRACE("limit " + std::to_string(limit) + " seed " + std::to_string(seed));
            std::mt19937 rng(seed);
            ListPtr l{new_generic_list(limit)};
            ASSERT_TRUE(l);
            std::list<void *> model;
            std::vector<std::unique_ptr<Item>> pool;
            int next_id = 0;
            auto fresh = [&] {
                pool.push_back(std::make_unique<Item>(Item{(int)(rng() % 10), next_id++}));
                return pool.back().get();
            };
            auto room = [&] { return limit == 0 || model.size() < limit; };
            for (int step = 0; step < 3000; step++) {
                switch (rng() % 9) {
                case 0: {
                    Item *it = fresh();
                    bool fits = room();
                    EXPECT_EQ(list_push(l.get(), it, nullptr), fits ? 1 : 0);
                    if (fits) model.push_back(it);
                    break;
                }
                case 1: {
                    Item *it = fresh();
                    bool fits = room();
                    EXPECT_EQ(list_unshift(l.get(), it, nullptr), fits ? 1 : 0);
                    if (fits) model.push_front(it);
                    break;
                }
                case 2: {
                    LIST_NODE *n = new_list_node(fresh(), nullptr);
                    ASSERT_TRUE(n);
                    bool fits = room();
                    bool at_end = rng() % 2;
                    EXPECT_EQ(at_end ? list_node_push(l.get(), n) : list_node_unshift(l.get(), n), fits ? 1 : 0);
                    if (!fits) free(n);
                    else if (at_end) model.push_back(n->ptr);
                    else model.push_front(n->ptr);
                    break;
                }
                case 3: {
                    void *got = list_pop(l.get());
                    EXPECT_EQ(got, model.empty() ? nullptr : model.back());
                    if (!model.empty()) model.pop_back();
                    break;
                }
                case 4: {
                    void *got = list_shift(l.get());
                    EXPECT_EQ(got, model.empty() ? nullptr : model.front());
                    if (!model.empty()) model.pop_front();
                    break;
                }
                case 5: {
                    bool last = rng() % 2;
                    LIST_NODE *n = last ? list_node_pop(l.get()) : list_node_shift(l.get());
                    if (model.empty()) {
                        EXPECT_EQ(n, nullptr);
                        break;
                    }
                    ASSERT_TRUE(n);
                    EXPECT_EQ(n->next, nullptr);
                    EXPECT_EQ(n->prev, nullptr);
                    EXPECT_EQ(n->ptr, last ? model.back() : model.front());
                    if (last) model.pop_back();
                    else model.pop_front();
                    free(n);
                    break;
                }
                case 6:
                case 7: {
                    if (model.empty()) break;
                    auto pos = model.begin();
                    std::advance(pos, rng() % model.size());
                    LIST_NODE *n = list_search(l.get(), *pos);
                    ASSERT_TRUE(n);
                    EXPECT_EQ(remove_list_node(l.get(), n), *pos);
                    model.erase(pos);
                    break;
                }
                case 8:
                    if (rng() % 50 == 0) {
                        EXPECT_EQ(list_empty(l.get()), 1);
                        model.clear();
                    }
                    break;
                }
                std::vector<void *> got = check_list(l.get());
                ASSERT_EQ(got, std::vector<void *>(model.begin(), model.end())) << "after step " << step;
            }
        }
    }
}

// Only sorted insertions (mixed with removals at both ends): list_push_sorted
// must land where std::upper_bound would (after its equals) and
// list_unshift_sorted where std::lower_bound would (before them).
TEST(NList, RandomSortedInsertionsAreStable) {
    for (uint32_t seed = 11; seed <= 16; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        ListPtr l{new_generic_list(0)};
        ASSERT_TRUE(l);
        std::list<Item *> model;
        std::vector<std::unique_ptr<Item>> pool;
        auto by_key = [](const Item *a, const Item *b) { return a->key < b->key; };
        for (int step = 0; step < 3000; step++) {
            unsigned op = rng() % 8;
            if (op < 6) {
                pool.push_back(std::make_unique<Item>(Item{(int)(rng() % 8), step}));
                Item *it = pool.back().get();
                if (op < 3) {
                    ASSERT_EQ(list_push_sorted(l.get(), it, cmp_items, nullptr), 1);
                    model.insert(std::upper_bound(model.begin(), model.end(), it, by_key), it);
                } else {
                    ASSERT_EQ(list_unshift_sorted(l.get(), it, cmp_items, nullptr), 1);
                    model.insert(std::lower_bound(model.begin(), model.end(), it, by_key), it);
                }
            } else if (!model.empty()) {
                if (op == 6) {
                    EXPECT_EQ(list_pop(l.get()), model.back());
                    model.pop_back();
                } else {
                    EXPECT_EQ(list_shift(l.get()), model.front());
                    model.pop_front();
                }
            }
            std::vector<void *> got = check_list(l.get());
            ASSERT_EQ(got, std::vector<void *>(model.begin(), model.end())) << "after step " << step;
        }
    }
}

TEST(NList, SortedInsertionOfEqualKeys) {
    struct Case {
        const char *name;
        int (*insert)(LIST *, void *, LIST_COMPARATOR, LIST_DESTROY_FUNC);
        std::vector<int> ids;  // identities of 1, the two 2s, 3 in list order
    };
    const Case cases[] = {
        {"push_sorted keeps arrival order", list_push_sorted, {1, 2, 3, 0}},
        {"unshift_sorted puts the later equal first", list_unshift_sorted, {1, 3, 2, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Item items[] = {{3, 0}, {1, 1}, {2, 2}, {2, 3}};
        ListPtr l{new_generic_list(0)};
        for (Item &it : items) ASSERT_EQ(c.insert(l.get(), &it, cmp_items, nullptr), 1);
        EXPECT_EQ(keys_of(l.get()), (std::vector<int>{1, 2, 2, 3}));
        EXPECT_EQ(ids_of(l.get()), c.ids);
    }
}

TEST(NList, ItemLimit) {
    struct Case {
        size_t limit;
        size_t kept;
    };
    for (const Case c : {Case{0, 5}, Case{(size_t)-1, 5}, Case{2, 2}}) {
        SCOPED_TRACE("limit " + std::to_string(c.limit));
        LogCapture log;
        Item items[5] = {};
        ListPtr l{new_generic_list(c.limit)};
        for (Item &it : items) list_push(l.get(), &it, nullptr);
        EXPECT_EQ(l->item_count, c.kept);
        EXPECT_EQ(check_list(l.get()).size(), c.kept);
        EXPECT_EQ(log.contains("list is full"), c.kept < 5);
    }
    // Every inserting form checks the limit before it allocates.
    LogCapture log;
    Item a{0, 0}, b{1, 1}, extra{2, 2};
    ListPtr l{new_generic_list(2)};
    ASSERT_EQ(list_push(l.get(), &a, nullptr), 1);
    ASSERT_EQ(list_push(l.get(), &b, nullptr), 1);
    LIST_NODE *n = new_list_node(&extra, nullptr);
    ASSERT_TRUE(n);
    log.clear();
    n_alloc_fail_after(0);  // any allocation now would fail and log
    EXPECT_EQ(list_push(l.get(), &extra, nullptr), 0);
    EXPECT_EQ(list_unshift(l.get(), &extra, nullptr), 0);
    EXPECT_EQ(list_push_sorted(l.get(), &extra, cmp_items, nullptr), 0);
    EXPECT_EQ(list_unshift_sorted(l.get(), &extra, cmp_items, nullptr), 0);
    EXPECT_EQ(list_node_push(l.get(), n), 0);
    EXPECT_EQ(list_node_unshift(l.get(), n), 0);
    n_alloc_fail_after(-1);
    EXPECT_EQ(log.text().find("calloc"), std::string::npos);
    EXPECT_EQ(log.text().find("assert"), std::string::npos) << "a full list logs no precondition";
    EXPECT_EQ(check_list(l.get()), (std::vector<void *>{&a, &b}));
    free(n);
}

TEST(NList, NullItemAndNodeWithNullItem) {
    LogCapture log;
    ListPtr l{new_generic_list(0)};
    EXPECT_EQ(list_push(l.get(), nullptr, nullptr), 0);
    EXPECT_TRUE(log.contains("if( !(ptr) ) assert"));
    EXPECT_TRUE(log.contains("invalid ptr: NULL"));
    EXPECT_EQ(l->item_count, 0u);
    LIST_NODE *n = new_list_node(nullptr, nullptr);
    ASSERT_TRUE(n);
    EXPECT_EQ(list_node_push(l.get(), n), 1);
    EXPECT_EQ(check_list(l.get()), std::vector<void *>{nullptr});
}

TEST(NList, OnlyNodeAndEmptyList) {
    Item it{1, 1};
    for (int how = 0; how < 4; how++) {
        SCOPED_TRACE(how);
        ListPtr l{new_generic_list(0)};
        ASSERT_EQ(list_push(l.get(), &it, nullptr), 1);
        if (how == 0) {
            EXPECT_EQ(list_pop(l.get()), &it);
        } else if (how == 1) {
            EXPECT_EQ(list_shift(l.get()), &it);
        } else if (how == 2) {
            EXPECT_EQ(remove_list_node(l.get(), l->start), &it);
        } else {
            LIST_NODE *n = list_node_pop(l.get());
            ASSERT_TRUE(n);
            free(n);
        }
        EXPECT_EQ(l->start, nullptr);
        EXPECT_EQ(l->end, nullptr);
        EXPECT_EQ(l->item_count, 0u);
        LogCapture log;
        EXPECT_EQ(list_pop(l.get()), nullptr);
        EXPECT_EQ(list_shift(l.get()), nullptr);
        EXPECT_EQ(list_node_pop(l.get()), nullptr);
        EXPECT_EQ(list_node_shift(l.get()), nullptr);
        EXPECT_EQ(list_search(l.get(), &it), nullptr);
        EXPECT_EQ(log.text(), "") << "an empty list is not an error";
    }
}

TEST(NList, EmptyingAndDestroying) {
    LogCapture log;
    LIST *l = new_generic_list(3);
    ASSERT_TRUE(l);
    EXPECT_EQ(list_empty(l), 1);  // already empty
    destroyed = 0;
    for (int i = 0; i < 3; i++) ASSERT_EQ(list_push(l, new Item{i, i}, delete_item), 1);
    EXPECT_EQ(list_empty(l), 1);
    EXPECT_EQ(check_list(l).size(), 0u);
    EXPECT_EQ(l->item_limit, 3u) << "emptying keeps the limit";

    Item kept[2] = {};
    ASSERT_EQ(list_push(l, &kept[0], count_destroy), 1);
    ASSERT_EQ(list_push(l, &kept[1], count_destroy), 1);
    EXPECT_EQ(list_empty_with_f(l, nullptr), 1);  // items stay: count_destroy is ignored
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(check_list(l).size(), 0u);

    ASSERT_EQ(list_push(l, &kept[0], count_destroy), 1);
    ASSERT_EQ(list_push(l, &kept[1], nullptr), 1);
    EXPECT_EQ(list_destroy(&l), 1);
    EXPECT_EQ(l, nullptr);
    EXPECT_EQ(destroyed, 1) << "only the node with a destructor";
    log.clear();
    EXPECT_EQ(list_destroy(&l), 0);
    EXPECT_TRUE(log.contains("if( !(list && (*list)) ) assert"));
    EXPECT_TRUE(log.contains("list already destroyed"));
    EXPECT_EQ(list_destroy(nullptr), 0);
}

TEST(NList, RemovingANodeNeverDestroysItsItem) {
    destroyed = 0;
    Item items[3] = {{0, 0}, {1, 1}, {2, 2}};
    ListPtr l{new_generic_list(0)};
    for (Item &it : items) ASSERT_EQ(list_push(l.get(), &it, count_destroy), 1);
    EXPECT_EQ(remove_list_node(l.get(), list_search(l.get(), &items[1])), &items[1]);
    EXPECT_EQ(list_pop(l.get()), &items[2]);
    EXPECT_EQ(list_shift(l.get()), &items[0]);
    EXPECT_EQ(destroyed, 0);
}

TEST(NList, SearchWithPredicate) {
    Item items[4] = {{5, 0}, {7, 1}, {7, 2}, {9, 3}};
    ListPtr l{new_generic_list(0)};
    for (Item &it : items) ASSERT_EQ(list_push(l.get(), &it, nullptr), 1);
    auto is_seven = [](void *p) { return static_cast<Item *>(p)->key == 7 ? 1 : 0; };
    auto is_eight = [](void *p) { return static_cast<Item *>(p)->key == 8 ? 1 : 0; };
    LIST_NODE *n = list_search_with_f(l.get(), is_seven);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->ptr, &items[1]) << "the first match from start";
    EXPECT_EQ(list_search_with_f(l.get(), is_eight), nullptr);
    Item other{7, 9};
    EXPECT_EQ(list_search(l.get(), &other), nullptr) << "search compares pointers, not values";
}

// Each refusal: the precondition line naming the expression, then the ERR
// message where there is one, and nothing changed.
TEST(NList, PreconditionMessages) {
    Item it{1, 1};
    ListPtr full{new_generic_list(0)};
    ASSERT_EQ(list_push(full.get(), &it, nullptr), 1);
    LIST no_start = {1, 0, nullptr, full->start};
    LIST no_end = {1, 0, full->start, nullptr};
    struct Case {
        const char *name;
        std::function<bool()> call;  // true when the call returned its failure value
        const char *expr;
        const char *err;  // null: no ERR line
    };
    const Case cases[] = {
        {"push null list", [&] { return list_push(nullptr, &it, nullptr) == 0; }, "list", "invalid list: NULL"},
        {"unshift null list", [&] { return list_unshift(nullptr, &it, nullptr) == 0; }, "list", "invalid list: NULL"},
        {"unshift null ptr", [&] { return list_unshift(full.get(), nullptr, nullptr) == 0; }, "ptr", "invalid ptr: NULL"},
        {"push_sorted null list", [&] { return list_push_sorted(nullptr, &it, cmp_items, nullptr) == 0; }, "list",
         "invalid list: NULL"},
        {"push_sorted null ptr", [&] { return list_push_sorted(full.get(), nullptr, cmp_items, nullptr) == 0; }, "ptr",
         "invalid ptr: NULL"},
        {"push_sorted null comparator", [&] { return list_push_sorted(full.get(), &it, nullptr, nullptr) == 0; },
         "comparator", "invalid comparator: NULL"},
        {"unshift_sorted null comparator", [&] { return list_unshift_sorted(full.get(), &it, nullptr, nullptr) == 0; },
         "comparator", "invalid comparator: NULL"},
        {"unshift_sorted null list", [&] { return list_unshift_sorted(nullptr, &it, cmp_items, nullptr) == 0; },
         "list", "invalid list: NULL"},
        {"node_push null list", [&] { return list_node_push(nullptr, nullptr) == 0; }, "list", "invalid list: NULL"},
        {"node_push null node", [&] { return list_node_push(full.get(), nullptr) == 0; }, "node", "invalid node: NULL"},
        {"node_unshift null node", [&] { return list_node_unshift(full.get(), nullptr) == 0; }, "node",
         "invalid node: NULL"},
        {"node_pop null list", [&] { return list_node_pop(nullptr) == nullptr; }, "list", "invalid list: NULL"},
        {"node_shift null list", [&] { return list_node_shift(nullptr) == nullptr; }, "list", "invalid list: NULL"},
        {"pop null list", [&] { return list_pop_f(nullptr) == nullptr; }, "list", "invalid list: NULL"},
        {"shift null list", [&] { return list_shift_f(nullptr, "caller.cpp", 42) == nullptr; }, "list",
         "caller.cpp:42: invalid list: NULL"},
        {"remove null list", [&] { return remove_list_node_f(nullptr, full->start) == nullptr; }, "list",
         "can't remove from NULL list"},
        {"remove without start", [&] { return remove_list_node_f(&no_start, full->start) == nullptr; },
         "list->start", "can't remove from NULL list->start"},
        {"remove without end", [&] { return remove_list_node_f(&no_end, full->start) == nullptr; }, "list->end",
         "can't remove from NULL list->end"},
        {"remove null node", [&] { return remove_list_node_f(full.get(), nullptr) == nullptr; }, "node",
         "can't remove from NULL node"},
        {"search null list", [&] { return list_search(nullptr, &it) == nullptr; }, "list", nullptr},
        {"search_with_f null list", [&] { return list_search_with_f(nullptr, nullptr) == nullptr; }, "list", nullptr},
        {"search_with_f null predicate", [&] { return list_search_with_f(full.get(), nullptr) == nullptr; },
         "checkfunk", nullptr},
        {"empty null list", [&] { return list_empty(nullptr) == 0; }, "list", "list is NULL"},
        {"empty_with_f null list", [&] { return list_empty_with_f(nullptr, nullptr) == 0; }, "list", "list is NULL"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        EXPECT_TRUE(c.call());
        std::string text = log.text();
        size_t pre = text.find(std::string("DEBUG:"));
        EXPECT_NE(pre, std::string::npos);
        EXPECT_NE(text.find(std::string("if( !(") + c.expr + ") ) assert at line "), std::string::npos) << text;
        if (c.err) {
            size_t err = text.find(std::string(" ") + c.err + "\n");
            EXPECT_NE(err, std::string::npos) << text;
            EXPECT_NE(text.find("ERR:"), std::string::npos) << text;
            EXPECT_LT(pre, err) << "the precondition line comes first";
        } else {
            EXPECT_EQ(text.find("ERR:"), std::string::npos) << text;
        }
        EXPECT_EQ(check_list(full.get()), std::vector<void *>{&it});
    }
}

// Every allocation of a scenario is made to fail in turn: each run either
// completes or fails with the list as it was, and the logs name the failure.
TEST(NList, AllocationFailures) {
    LogCapture log;
    n_alloc_fail_after(0);
    LIST *none = new_generic_list(0);
    n_alloc_fail_after(-1);
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(log.contains("( list *)calloc( 1 , sizeof( LIST ) ) Cannot allocate memory at line "));
    EXPECT_TRUE(log.contains("if( !(list) ) assert"));

    struct Case {
        const char *name;
        int (*insert)(LIST *, Item *);
        std::vector<const char *> messages;  // expected when the node allocation fails
        std::vector<int> keys_after;         // list content on success, starting from {2, 4}
    };
    const Case cases[] = {
        {"push",
         [](LIST *l, Item *it) { return list_push(l, it, nullptr); },
         {"( node *)calloc( 1 , sizeof( LIST_NODE ) )", "Error allocating node for ptr", "if( !(node) )",
          "Couldn't allocate new node"},
         {2, 4, 3}},
        {"unshift",
         [](LIST *l, Item *it) { return list_unshift(l, it, nullptr); },
         {"Error allocating node for ptr", "if( !(node) )", "Couldn't allocate new node"},
         {3, 2, 4}},
        {"push_sorted middle",
         [](LIST *l, Item *it) { return list_push_sorted(l, it, cmp_items, nullptr); },
         {"Error allocating node for ptr", "if( !(newnode) )", "Couldn't allocate new node"},
         {2, 3, 4}},
        {"unshift_sorted middle",
         [](LIST *l, Item *it) { return list_unshift_sorted(l, it, cmp_items, nullptr); },
         {"if( !(newnode) )", "Couldn't allocate new node"},
         {2, 3, 4}},
        {"push_sorted front falls back on unshift",
         [](LIST *l, Item *it) {
             it->key = 1;
             return list_push_sorted(l, it, cmp_items, nullptr);
         },
         {"if( !(node) )", "Couldn't list_unshift in list "},
         {1, 2, 4}},
        {"unshift_sorted back falls back on push",
         [](LIST *l, Item *it) {
             it->key = 5;
             return list_unshift_sorted(l, it, cmp_items, nullptr);
         },
         {"if( !(node) )", "Couldn't list_push in list "},
         {2, 4, 5}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (long fail_at = 0;; fail_at++) {
            Item base[2] = {{2, 0}, {4, 1}};
            Item it{3, 2};
            ListPtr l{new_generic_list(0)};
            ASSERT_EQ(list_push(l.get(), &base[0], nullptr), 1);
            ASSERT_EQ(list_push(l.get(), &base[1], nullptr), 1);
            log.clear();
            n_alloc_fail_after(fail_at);
            int ok = c.insert(l.get(), &it);
            n_alloc_fail_after(-1);
            if (ok) {
                EXPECT_EQ(keys_of(l.get()), c.keys_after);
                break;
            }
            EXPECT_EQ(keys_of(l.get()), (std::vector<int>{2, 4}));
            for (const char *m : c.messages) EXPECT_TRUE(log.contains(m)) << m << "\n" << log.text();
            ASSERT_LT(fail_at, 10);
        }
    }
    // The empty-list road of the sorted forms goes through the plain insertion.
    const std::pair<int (*)(LIST *, void *, LIST_COMPARATOR, LIST_DESTROY_FUNC), const char *> empty_cases[] = {
        {list_push_sorted, "Couldn't list_push in list "},
        {list_unshift_sorted, "Couldn't list_unshift in list "},
    };
    for (const auto &[insert, message] : empty_cases) {
        Item it{3, 3};
        ListPtr l{new_generic_list(0)};
        log.clear();
        n_alloc_fail_after(0);
        EXPECT_EQ(insert(l.get(), &it, cmp_items, nullptr), 0);
        n_alloc_fail_after(-1);
        EXPECT_TRUE(log.contains(message)) << log.text();
        EXPECT_EQ(check_list(l.get()).size(), 0u);
    }
}
