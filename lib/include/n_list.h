// Doubly linked list of untyped items; each node carries the function that
// destroys its item. Results: 1 success, 0 failure, or a pointer that is null
// on failure. The list owns its nodes; it calls an item's destructor only when
// it is emptied or destroyed, and removing one node hands the item back to the
// caller. No lock: a list shared between threads is guarded by its owner.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(sizeof(size_t) == sizeof(uint64_t), "counts and limits are unsigned 64-bit");

using LIST_DESTROY_FUNC = void (*)(void *ptr);
using LIST_COMPARATOR = int (*)(const void *new_item, const void *listed_item);  // <0 new sorts before listed
using LIST_PREDICATE = int (*)(void *ptr);                                          // non-zero: match

struct LIST_NODE {
    void *ptr;                       // the item
    LIST_DESTROY_FUNC destroy_func;  // may be null
    LIST_NODE *next;                 // toward end, null at the end
    LIST_NODE *prev;                 // toward start, null at the start
};

struct LIST {
    size_t item_count;  // nodes linked in
    size_t item_limit;  // 0 (and in effect SIZE_MAX): no limit
    LIST_NODE *start;   // null when empty
    LIST_NODE *end;     // null when empty
};

// Creation and release.
// - A full list (item_limit non-zero and reached) refuses every insertion with "list is full".
// - Emptying calls each node's destroy_func (or the given function) in order from start.
[[nodiscard]] LIST *new_generic_list(size_t item_limit);
[[nodiscard]] LIST_NODE *new_list_node(void *ptr, LIST_DESTROY_FUNC destroy);  // unlinked; a null item is accepted
int        list_empty(LIST *list);
int        list_empty_with_f(LIST *list, LIST_DESTROY_FUNC free_fnct);             // ignores the nodes' destroy_func; null: items kept
int        list_destroy(LIST **list);                                               // empties, frees, nulls *list

// Inserting: item pointers must be non-null; a node must be unlinked.
// - Sorted forms: list_push_sorted scans from end and puts an item after its
//   equals (arrival order); list_unshift_sorted scans from start and puts it
//   before them.
int        list_push(LIST *list, void *ptr, LIST_DESTROY_FUNC destroy);
int        list_unshift(LIST *list, void *ptr, LIST_DESTROY_FUNC destroy);
int        list_push_sorted(LIST *list, void *ptr, LIST_COMPARATOR comparator, LIST_DESTROY_FUNC destroy);
int        list_unshift_sorted(LIST *list, void *ptr, LIST_COMPARATOR comparator, LIST_DESTROY_FUNC destroy);
int        list_node_push(LIST *list, LIST_NODE *node);
int        list_node_unshift(LIST *list, LIST_NODE *node);

// Removing: never calls destroy_func. An empty list gives null without a message.
// - The node forms return the unlinked node (next and prev null); the caller frees it.
// - The item forms free the node and return its item.
[[nodiscard]] LIST_NODE *list_node_pop(LIST *list);
[[nodiscard]] LIST_NODE *list_node_shift(LIST *list);
void      *list_pop_f(LIST *list);
void      *list_shift_f(LIST *list, const char *file, size_t line);  // file and line name the caller in the null-list message
void      *remove_list_node_f(LIST *list, LIST_NODE *node);          // node must belong to list (not checked)

#define list_pop(LIST_) list_pop_f(LIST_)
#define list_shift(LIST_) list_shift_f((LIST_), __FILE__, __LINE__)
#define remove_list_node(LIST_, NODE_) remove_list_node_f((LIST_), (NODE_))

// Searching from start; null when nothing matches.
LIST_NODE *list_search(LIST *list, const void *ptr);                // compares item pointers
LIST_NODE *list_search_with_f(LIST *list, LIST_PREDICATE checkfunk);
