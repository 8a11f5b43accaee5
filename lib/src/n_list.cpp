// Doubly linked list of untyped items.
#include "n_list.h"

#include "n_log.h"

#include <cstdlib>

// Checked before anything is allocated, so a refused insertion costs nothing.
static bool list_full(const LIST *list) { return list->item_limit != 0 && list->item_count >= list->item_limit; }

// Links an unlinked node between `before` and `after` (either may be null at
// an end of the list).
static void link_between(LIST *list, LIST_NODE *node, LIST_NODE *before, LIST_NODE *after) {
    node->prev = before;
    node->next = after;
    if (before) before->next = node;
    else list->start = node;
    if (after) after->prev = node;
    else list->end = node;
    list->item_count++;
}

// Joins the neighbours of a linked node and leaves it detached.
static void unlink_node(LIST *list, LIST_NODE *node) {
    if (node->prev) node->prev->next = node->next;
    else list->start = node->next;
    if (node->next) node->next->prev = node->prev;
    else list->end = node->prev;
    node->next = nullptr;
    node->prev = nullptr;
}

LIST *new_generic_list(size_t item_limit) {
    LIST *list = n_calloc(list, 1, LIST);
    N_ASSERT(list, return nullptr);
    list->item_limit = item_limit;
    return list;
}

LIST_NODE *new_list_node(void *ptr, LIST_DESTROY_FUNC destroy) {
    LIST_NODE *node = n_calloc(node, 1, LIST_NODE);
    N_ASSERT(node, {
        n_log(LOG_ERR, "Error allocating node for ptr %p", ptr);
        return nullptr;
    });
    node->ptr = ptr;
    node->destroy_func = destroy;
    return node;
}

// What every insertion checks before it allocates or links, in this order: the
// list, the item (`what` is its name in the log, "ptr" or "node"), the
// comparator of a sorted insertion, then room. Each refusal logs the same two
// lines a written-out N_ASSERT of that name would.
static bool insert_ok(const LIST *list, const void *item, const char *what, bool sorted, LIST_COMPARATOR comparator) {
    const char *missing = !list ? "list" : !item ? what : sorted && !comparator ? "comparator" : nullptr;
    if (missing) {
        n_log_assert_fail(missing);
        n_log(LOG_ERR, "invalid %s: NULL", missing);
        return false;
    }
    if (list_full(list)) {
        n_log(LOG_ERR, "list is full");
        return false;
    }
    return true;
}

static void link_at_end(LIST *list, LIST_NODE *node, bool at_end) {
    if (at_end) link_between(list, node, list->end, nullptr);
    else link_between(list, node, nullptr, list->start);
}

// Shared by list_push and list_unshift: only the place of the new node differs.
static int insert_item(LIST *list, void *ptr, LIST_DESTROY_FUNC destroy, bool at_end) {
    if (!insert_ok(list, ptr, "ptr", false, nullptr)) return 0;
    LIST_NODE *node = new_list_node(ptr, destroy);
    N_ASSERT(node, {
        n_log(LOG_ERR, "Couldn't allocate new node");
        return 0;
    });
    link_at_end(list, node, at_end);
    return 1;
}

int list_push(LIST *list, void *ptr, LIST_DESTROY_FUNC destroy) { return insert_item(list, ptr, destroy, true); }

int list_unshift(LIST *list, void *ptr, LIST_DESTROY_FUNC destroy) { return insert_item(list, ptr, destroy, false); }

// Sorted insertion. From the end (push) the walk passes every listed item that
// the new one sorts before, so it stops behind its equals; from the start
// (unshift) it passes every listed item the new one sorts after, so it stops
// in front of its equals.
static int insert_sorted(LIST *list, void *ptr, LIST_COMPARATOR comparator, LIST_DESTROY_FUNC destroy, bool from_end) {
    if (!insert_ok(list, ptr, "ptr", true, comparator)) return 0;
    // An empty list and a walk that runs off the far end both fall back on
    // the plain insertion at that end.
    bool at_end;
    LIST_NODE *stop = nullptr;
    if (!list->start) {
        at_end = from_end;
    } else if (from_end) {
        stop = list->end;
        while (stop && comparator(ptr, stop->ptr) < 0) stop = stop->prev;
        at_end = false;
    } else {
        stop = list->start;
        while (stop && comparator(ptr, stop->ptr) > 0) stop = stop->next;
        at_end = true;
    }
    if (!stop) {
        if (at_end ? list_push(list, ptr, destroy) : list_unshift(list, ptr, destroy)) return 1;
        n_log(LOG_ERR, at_end ? "Couldn't list_push in list %p ptr %p with destructor %p"
                              : "Couldn't list_unshift in list %p ptr %p with destructor %p",
              (void *)list, ptr, (void *)destroy);
        return 0;
    }
    LIST_NODE *newnode = new_list_node(ptr, destroy);
    N_ASSERT(newnode, {
        n_log(LOG_ERR, "Couldn't allocate new node");
        return 0;
    });
    if (from_end) link_between(list, newnode, stop, stop->next);
    else link_between(list, newnode, stop->prev, stop);
    return 1;
}

int list_push_sorted(LIST *list, void *ptr, LIST_COMPARATOR comparator, LIST_DESTROY_FUNC destroy) {
    return insert_sorted(list, ptr, comparator, destroy, true);
}

int list_unshift_sorted(LIST *list, void *ptr, LIST_COMPARATOR comparator, LIST_DESTROY_FUNC destroy) {
    return insert_sorted(list, ptr, comparator, destroy, false);
}

static int insert_node(LIST *list, LIST_NODE *node, bool at_end) {
    if (!insert_ok(list, node, "node", false, nullptr)) return 0;
    link_at_end(list, node, at_end);
    return 1;
}

int list_node_push(LIST *list, LIST_NODE *node) { return insert_node(list, node, true); }

int list_node_unshift(LIST *list, LIST_NODE *node) { return insert_node(list, node, false); }

// Unlinks the node at one end; null (silently) when there is none.
static LIST_NODE *take_end(LIST *list, bool last) {
    LIST_NODE *node = last ? list->end : list->start;
    if (!node) return nullptr;
    unlink_node(list, node);
    if (list->item_count > 0) list->item_count--;
    if (list->item_count == 0) {
        list->start = nullptr;
        list->end = nullptr;
    }
    return node;
}

// The item of a node taken from the list; the node itself is released.
static void *release_node(LIST_NODE *node) {
    if (!node) return nullptr;
    void *ptr = node->ptr;
    free(node);
    return ptr;
}

LIST_NODE *list_node_pop(LIST *list) {
    N_ASSERT(list, {
        n_log(LOG_ERR, "invalid list: NULL");
        return nullptr;
    });
    return take_end(list, true);
}

LIST_NODE *list_node_shift(LIST *list) {
    N_ASSERT(list, {
        n_log(LOG_ERR, "invalid list: NULL");
        return nullptr;
    });
    return take_end(list, false);
}

void *list_pop_f(LIST *list) {
    N_ASSERT(list, {
        n_log(LOG_ERR, "invalid list: NULL");
        return nullptr;
    });
    return release_node(take_end(list, true));
}

void *list_shift_f(LIST *list, const char *file, size_t line) {
    N_ASSERT(list, {
        n_log(LOG_ERR, "%s:%zu: invalid list: NULL", file ? file : "NULL", line);
        return nullptr;
    });
    return release_node(take_end(list, false));
}

void *remove_list_node_f(LIST *list, LIST_NODE *node) {
    N_ASSERT(list, {
        n_log(LOG_ERR, "can't remove from NULL list");
        return nullptr;
    });
    N_ASSERT(list->start, {
        n_log(LOG_ERR, "can't remove from NULL list->start");
        return nullptr;
    });
    N_ASSERT(list->end, {
        n_log(LOG_ERR, "can't remove from NULL list->end");
        return nullptr;
    });
    N_ASSERT(node, {
        n_log(LOG_ERR, "can't remove from NULL node");
        return nullptr;
    });
    unlink_node(list, node);
    if (list->item_count > 0) list->item_count--;
    return release_node(node);
}

LIST_NODE *list_search(LIST *list, const void *ptr) {
    N_ASSERT(list, return nullptr);
    for (LIST_NODE *node = list->start; node; node = node->next)
        if (node->ptr == ptr) return node;
    return nullptr;
}

LIST_NODE *list_search_with_f(LIST *list, LIST_PREDICATE checkfunk) {
    N_ASSERT(list, return nullptr);
    N_ASSERT(checkfunk, return nullptr);
    for (LIST_NODE *node = list->start; node; node = node->next)
        if (checkfunk(node->ptr)) return node;
    return nullptr;
}

// Reads `next` before freeing, so a destructor may release its item freely.
static void free_all_nodes(LIST *list, bool own_destructor, LIST_DESTROY_FUNC free_fnct) {
    LIST_NODE *node = list->start;
    while (node) {
        LIST_NODE *next = node->next;
        LIST_DESTROY_FUNC fn = own_destructor ? node->destroy_func : free_fnct;
        if (fn) fn(node->ptr);
        free(node);
        node = next;
    }
    list->item_count = 0;
    list->start = nullptr;
    list->end = nullptr;
}

int list_empty(LIST *list) {
    N_ASSERT(list, {
        n_log(LOG_ERR, "list is NULL");
        return 0;
    });
    free_all_nodes(list, true, nullptr);
    return 1;
}

int list_empty_with_f(LIST *list, LIST_DESTROY_FUNC free_fnct) {
    N_ASSERT(list, {
        n_log(LOG_ERR, "list is NULL");
        return 0;
    });
    free_all_nodes(list, false, free_fnct);
    return 1;
}

int list_destroy(LIST **list) {
    N_ASSERT(list && (*list), {
        n_log(LOG_ERR, "list already destroyed");
        return 0;
    });
    free_all_nodes(*list, true, nullptr);
    free(*list);
    *list = nullptr;
    return 1;
}
