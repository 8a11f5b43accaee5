// The engine's receive thread over whatever a peer sends: the input is
// written into one end of a socket pair, the writer half-closes, and the
// receive function runs on the other end in this thread until the stream
// ends. Whatever the bytes, it returns, and every message it queued is
// terminated at its length and within the connection's message limit.
#include "n_network.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kLimit = 1 << 16;  // small, so that no input makes a large buffer

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    size_t done = 0;
    while (done < size) {  // what the socket buffer cannot hold is not part of this run
        ssize_t w = write(sv[1], data + done, size - done);
        if (w <= 0) break;
        done += (size_t)w;
    }
    shutdown(sv[1], SHUT_WR);

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
    check(netw->nb_running_threads == 0);
    check(netw->state == NETW_EXIT_ASKED || netw->state == NETW_ERROR);
    pthread_mutex_unlock(&netw->eventbolt);
    while (N_STR *m = netw_get_msg(netw)) {
        check(m->data && m->written <= m->length && m->written <= (size_t)kLimit);
        free_nstr_ptr_nolog(m);
    }
    netw_close(&netw);
    close(sv[1]);
    return 0;
}
