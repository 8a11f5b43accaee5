// The reactor's frame reader fed one input whole and again in chunks whose
// sizes come from the input's first bytes: both feeds end the same way and
// deliver the same messages, each within the connection's message limit.
#include "n_network.h"
#include "n_reactor.h"

#include <string>
#include <vector>

namespace {

constexpr int kLimit = 1 << 16;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Messages out of one feed (cut at `sizes`, cycled; empty: whole) and what
// the last feed returned.
std::vector<std::string> run(n_reactor *r, const uint8_t *p, size_t n, const std::vector<size_t> &sizes, int *last) {
    std::vector<std::string> out;
    NETWORK *netw = netw_new(SIZE_MAX, SIZE_MAX);
    if (!netw || netw_setsockopt(netw, NETW_OPT_RECV_MSG_LIMIT, kLimit) != 1) {
        if (netw) netw_close(&netw);
        *last = -2;
        return out;
    }
    *last = 1;
    for (size_t off = 0, k = 0; off < n && *last == 1; k++) {
        size_t take = sizes.empty() ? n : std::min(sizes[k % sizes.size()], n - off);
        *last = n_reactor_feed(r, netw, p + off, take);
        off += take;
    }
    while (N_STR *m = netw_get_msg(netw)) {
        check(m->data && m->written <= m->length && m->written <= (size_t)kLimit);
        out.emplace_back(m->data, m->written);
        free_nstr_ptr_nolog(m);
    }
    // A payload cut short is the reader's until the connection leaves a
    // reactor; this one never joined one.
    free(netw->reactor_read_payload);
    netw->reactor_read_payload = nullptr;
    netw_close(&netw);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    size_t count = 1 + data[0] % 8;
    if (size < 1 + count) return 0;
    std::vector<size_t> sizes;
    for (size_t i = 0; i < count; i++) sizes.push_back(1 + data[1 + i] % 64);
    const uint8_t *stream = data + 1 + count;
    size_t n = size - 1 - count;
    n_reactor *r = n_reactor_new();
    if (!r) return 0;
    int whole_end = 0, cut_end = 0;
    auto whole = run(r, stream, n, {}, &whole_end);
    auto cut = run(r, stream, n, sizes, &cut_end);
    if (whole_end != -2 && cut_end != -2) {
        check(whole_end == cut_end);
        check(whole == cut);
    }
    n_reactor_destroy(&r);
    return 0;
}
