// The reactor's frame reader over whatever a peer sends: the input is written
// into one end of a socket pair whose other end is registered, the writer
// half-closes, and one turn of the loop reads it all. Whatever the bytes, the
// connection leaves reactor mode in that turn (the stream ended), and every
// message it queued is terminated at its length.
#include "n_network.h"
#include "n_reactor.h"

#include "fuzz_socket_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int sv[2];
    if (!fuzz_socket_with_input(data, size, sv)) return 0;

    NETWORK *netw = nullptr;
    n_reactor *r = n_reactor_new();
    if (!r || netw_adopt_client_fd(&netw, sv[0], "fuzz", "0") != 1) {
        close(sv[1]);
        if (!netw) close(sv[0]);
        n_reactor_destroy(&r);
        return 0;
    }
    // A small message limit: no input makes the reader allocate a large buffer.
    fuzz_check(netw_setsockopt(netw, NETW_OPT_RECV_MSG_LIMIT, 1 << 16) == 1);
    fuzz_check(n_reactor_register(r, netw) == 1);
    n_reactor_stop(r);  // the loop handles this turn's events, then returns
    n_reactor_run(r);
    fuzz_check(netw->reactor_released.load() == 1);
    fuzz_check(netw->reactor_attached.load() == 0);
    while (N_STR *m = netw_get_msg(netw)) {
        fuzz_check(m->data && m->written <= m->length && m->data[m->written] == 0);
        free_nstr_ptr_nolog(m);
    }
    netw_close(&netw);
    n_reactor_destroy(&r);
    close(sv[1]);
    return 0;
}
