// Event reactor: one thread serves many NETWORK connections with epoll, in
// the threaded engine's frame format, so reactor and engine peers talk to each
// other. A connection is in reactor mode or has an engine, never both; the
// application keeps using netw_add_msg / netw_get_msg. The reactor never
// closes a connection: it marks it (NETW_ERROR or NETW_EXIT_ASKED) and lets
// it go; its owner calls netw_close. Results: 1 done / 0 failed, null on failure.
#pragma once

#include "n_list.h"
#include "n_network.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>

constexpr int    N_REACTOR_MAX_EVENTS = 64;      // epoll events per turn
constexpr int    N_REACTOR_WAIT_MS = 1000;       // longest epoll wait: the sweep runs at least this often
constexpr int    N_REACTOR_READ_CHUNK = 4096;    // bytes per read while draining a readable socket
constexpr int    N_REACTOR_SWEEP_MAX = 64;       // connections asked to exit that one turn lets go
constexpr uint64_t N_REACTOR_DATA_STOP = 1;      // epoll data of the stop descriptor
constexpr uint64_t N_REACTOR_DATA_WAKE = 2;      // epoll data of the wake descriptor

struct n_reactor_stats {
    uint64_t events;          // epoll events handled (all kinds)
    uint64_t send_blocked;    // drains that stopped with bytes left
    uint64_t partial_reads;   // chunks that ended inside a header word or a payload
    uint64_t registrations;
    uint64_t unregistrations;
    uint64_t wake_sum;        // sum read from the wake descriptor: one per notification
    uint64_t wake_events;
    uint64_t dirty_seen;      // connections examined on wake-ups
    uint64_t dirty_drained;   // of those, the ones with something to send
};

struct n_reactor {
    int epoll_fd;
    int stop_efd;
    int wake_efd;
    std::atomic<int> stopping;
    LIST *registered;                 // NETWORK *, not owned
    pthread_mutex_t registered_lock;
    std::atomic<uint64_t> events, send_blocked, partial_reads, registrations, unregistrations, wake_sum, wake_events,
        dirty_seen, dirty_drained;
    LIST *dirty_pending;              // NETWORK *, not owned
    pthread_mutex_t dirty_lock;
    pthread_mutex_t run_lock;         // held by n_reactor_run for its whole run: who else holds it knows no loop touches a connection
};

[[nodiscard]] n_reactor *n_reactor_new();
void   n_reactor_destroy(n_reactor **reactor);                 // the loop must have returned; connections still registered are unregistered
void   n_reactor_run(n_reactor *reactor);                      // until n_reactor_stop; one thread at a time
void  *n_reactor_run_thread_entry(void *reactor);
void   n_reactor_stop(n_reactor *reactor);
void   n_reactor_get_stats(n_reactor *reactor, n_reactor_stats *out);  // null reactor: zeros
[[nodiscard]] int n_reactor_register(n_reactor *reactor, NETWORK *netw);
void   n_reactor_unregister(n_reactor *reactor, NETWORK *netw);  // must not overlap the loop's handling of netw
void   n_reactor_notify_send(NETWORK *netw);
// The frame reader on bytes already read from `netw`'s stream (the loop's own
// step, open for driving it with any chunking): 1 go on, 0 quit word seen,
// -1 the connection must be let go. Loop thread only.
int    n_reactor_feed(n_reactor *reactor, NETWORK *netw, const unsigned char *p, size_t n);
// Asks the loop to flush, half-close and release `netw` and waits until it
// did; when no loop runs, releases it here.
void   n_reactor_close_netw_sync(NETWORK *netw);
[[nodiscard]] NETWORK *netw_accept_into_reactor(NETWORK *from, size_t send_list_limit, size_t recv_list_limit, int wait_ms,
                                                n_reactor *reactor, int *netw_err);
