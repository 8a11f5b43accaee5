// Connection pools: a hash table of member connections keyed by socket number
// under a read-write lock. Each member keeps the list of its pools, so the
// two sides change together under the pool's write lock.
#include "n_hash.h"
#include "n_network_internal.h"

#include <cinttypes>

constexpr size_t NETW_POOL_KEY_LEN = 24;  // "%lld" of any int, with its terminator

struct PoolKey {
    char text[NETW_POOL_KEY_LEN];
    explicit PoolKey(const NETWORK *netw) { snprintf(text, sizeof text, "%lld", (long long)netw->link.sock); }
};

static void rw_check(int e, const char *what, const char *lock_name, const char *func, int line) {
    if (e) n_log(LOG_ERR, "Error %s while %s %s at %s:%s:%d", ErrText(e).s, what, lock_name, __FILE__, func, line);
}
#define POOL_WRLOCK(P, NAME) rw_check(pthread_rwlock_wrlock(&(P)->rwlock), "write locking", NAME, __func__, __LINE__)
#define POOL_UNLOCK(P, NAME) rw_check(pthread_rwlock_unlock(&(P)->rwlock), "unlocking", NAME, __func__, __LINE__)

// The pools list's node that holds `pool`, or null.
static LIST_NODE *pool_node(NETWORK *netw, NETWORK_POOL *pool) {
    if (!netw->pools) return nullptr;
    for (LIST_NODE *node = netw->pools->start; node; node = node->next)
        if (node->ptr == pool) return node;
    return nullptr;
}

NETWORK_POOL *netw_new_pool(size_t nb_min_element) {
    NETWORK_POOL *netw_pool = n_calloc(netw_pool, 1, NETWORK_POOL);
    N_ASSERT(netw_pool, return nullptr);
    netw_pool->pool = new_ht(nb_min_element);
    if (!netw_pool->pool) {
        n_log_assert_fail("netw_pool->pool");
        free(netw_pool);
        return nullptr;
    }
    int e = pthread_rwlock_init(&netw_pool->rwlock, nullptr);
    if (e) n_log(LOG_ERR, "Error %s while initializing %s at %s:%s:%d", ErrText(e).s, "netw_pool->rwlock", __FILE__, __func__, __LINE__);
    return netw_pool;
}

void netw_pool_netw_close(void *netw_ptr) {
    NETWORK *netw = static_cast<NETWORK *>(netw_ptr);
    n_log(LOG_DEBUG, "Network pool %p: network id %d still active !!", netw_ptr, netw ? netw->link.sock : -1);
}

int netw_pool_add(NETWORK_POOL *netw_pool, NETWORK *netw) {
    N_ASSERT(netw_pool, return 0);
    N_ASSERT(netw, return 0);
    n_log(LOG_DEBUG, "Trying to add %lld to %p", (long long)netw->link.sock, (void *)netw_pool->pool);
    POOL_WRLOCK(netw_pool, "netw_pool->rwlock");
    PoolKey key(netw);
    int result = 0;
    void *held = nullptr;
    if (ht_get_ptr(netw_pool->pool, key.text, &held)) {
        NETW_RECORD_ERR(netw, "Network id %d already added !", netw->link.sock);
    } else if (!ht_put_ptr(netw_pool->pool, key.text, netw, netw_pool_netw_close, nullptr)) {
        NETW_RECORD_ERR(netw, "could not add netw %d to pool %p", netw->link.sock, (void *)netw_pool);
    } else if (!netw->pools || !list_push(netw->pools, netw_pool, nullptr)) {
        // The table and the member's list must agree: take the entry back out.
        (void)ht_remove(netw_pool->pool, key.text);
        NETW_RECORD_ERR(netw, "could not add netw %d to pool %p", netw->link.sock, (void *)netw_pool);
    } else {
        n_log(LOG_DEBUG, "added netw %d to pool %p", netw->link.sock, (void *)netw_pool);
        result = 1;
    }
    POOL_UNLOCK(netw_pool, "netw_pool->rwlock");
    return result;
}

int netw_pool_remove(NETWORK_POOL *netw_pool, NETWORK *netw) {
    N_ASSERT(netw_pool, return 0);
    N_ASSERT(netw, return 0);
    POOL_WRLOCK(netw_pool, "netw_pool->rwlock");
    PoolKey key(netw);
    void *held = nullptr;
    // Only this very connection may be taken out: another one can hold the
    // socket number once this one's socket was closed and reused.
    if (ht_get_ptr(netw_pool->pool, key.text, &held) && held == netw && ht_remove(netw_pool->pool, key.text)) {
        LIST_NODE *node = pool_node(netw, netw_pool);
        if (!node || !remove_list_node(netw->pools, node))
            NETW_RECORD_ERR(netw, "Network id %d could not be removed !", netw->link.sock);
        POOL_UNLOCK(netw_pool, "netw_pool->rwlock");
        n_log(LOG_DEBUG, "Network id %d removed !", netw->link.sock);
        return 1;
    }
    NETW_RECORD_ERR(netw, "Network id %d already removed !", netw->link.sock);
    POOL_UNLOCK(netw_pool, "netw_pool->rwlock");
    return 0;
}

static int any_node(HASH_NODE *) { return 1; }

int netw_destroy_pool(NETWORK_POOL **netw_pool) {
    N_ASSERT(netw_pool && (*netw_pool), return 0);
    NETWORK_POOL *p = *netw_pool;
    POOL_WRLOCK(p, "(*netw_pool)->rwlock");
    if (p->pool) {
        // Members forget this pool now: a later netw_close must not reach into freed memory.
        LIST *keys = ht_search(p->pool, any_node);
        for (LIST_NODE *k = keys ? keys->start : nullptr; k; k = k->next) {
            void *member = nullptr;
            if (ht_get_ptr(p->pool, static_cast<const char *>(k->ptr), &member) && member) {
                NETWORK *netw = static_cast<NETWORK *>(member);
                if (LIST_NODE *node = pool_node(netw, p)) (void)remove_list_node(netw->pools, node);
            }
        }
        if (keys) list_destroy(&keys);
        destroy_ht(&p->pool);
    }
    POOL_UNLOCK(p, "(*netw_pool)->rwlock");
    int e = pthread_rwlock_destroy(&p->rwlock);
    if (e) n_log(LOG_ERR, "Error %s while destroying %s at %s:%s:%d", ErrText(e).s, "(*netw_pool)->rwlock", __FILE__, __func__, __LINE__);
    free(p);
    *netw_pool = nullptr;
    return 1;
}
