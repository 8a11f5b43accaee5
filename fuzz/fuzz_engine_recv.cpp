// The engine's receive thread over whatever a peer sends: the input is
// written into one end of a socket pair, the writer half-closes, and the
// receive function runs on the other end in this thread until the stream
// ends. Whatever the bytes, it returns with the thread counted out, and every
// message it queued fits its buffer and the connection's message limit.
#include "n_network.h"

#include "fuzz_socket_feed.h"

namespace {

constexpr int kLimit = 1 << 16;  // small, so that no input makes a large buffer

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int sv[2];
    if (!fuzz_socket_with_input(data, size, sv)) return 0;

    NETWORK *netw = nullptr;
    if (netw_adopt_client_fd(&netw, sv[0], "fuzz", "0") != 1 || netw_set_blocking(netw, 1) != 1 ||
        netw_setsockopt(netw, NETW_OPT_RECV_MSG_LIMIT, kLimit) != 1) {
        if (netw) netw_close(&netw);
        else close(sv[0]);
        close(sv[1]);
        return 0;
    }
    pthread_mutex_lock(&netw->eventbolt);
    netw->nb_running_threads = 1;  // the function counts itself out as a started thread does
    pthread_mutex_unlock(&netw->eventbolt);
    netw_recv_func(netw);
    pthread_mutex_lock(&netw->eventbolt);
    fuzz_check(netw->nb_running_threads == 0);
    fuzz_check(netw->state == NETW_EXIT_ASKED || netw->state == NETW_ERROR);
    pthread_mutex_unlock(&netw->eventbolt);
    while (N_STR *m = netw_get_msg(netw)) {
        fuzz_check(m->data && m->written <= m->length && m->written <= (size_t)kLimit);
        free_nstr_ptr_nolog(m);
    }
    netw_close(&netw);
    close(sv[1]);
    return 0;
}
