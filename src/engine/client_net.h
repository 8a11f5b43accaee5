// The client's one TLS connection to its server: a non-blocking machine that
// the session pumps from one thread. It connects, sets up TLS 1.3 without a
// certificate check (the session authenticates the server by its pinned keys),
// writes whole frames from a 64-entry queue and cuts what arrives into whole
// frames for a 64-entry receive queue. It knows no frame types.
// Results: 0 ok, -1 refused. Every buffer that held frame bytes is wiped before
// it is freed: frames carry auth values and escrow records.
#pragma once

#include "n_network.h"
#include "quorvane_proto.h"

#include <cstddef>
#include <cstdint>

constexpr size_t QV_CNET_RING = 64;
constexpr size_t QV_CNET_READ_LEN = 16384;
constexpr size_t QV_CNET_READ_BUDGET = 262144;  // bytes one pump reads at most

enum quorvane_cnet_state : uint32_t {
    QV_CNET_IDLE = 0,
    QV_CNET_CONNECTING = 1,
    QV_CNET_UP = 2,
    QV_CNET_CLOSED = 3,
    QV_CNET_BROKEN = 4,
};

struct quorvane_cnet_out {
    uint8_t *buf;
    size_t len;
    size_t sent;
};

struct quorvane_cnet_in {
    uint8_t *buf;
    size_t len;
};

struct quorvane_cnet {
    NETWORK *netw;
    uint32_t state;
    int tls_started;
    quorvane_framebuf reassembly;
    quorvane_cnet_out send_ring[QV_CNET_RING];
    uint64_t send_head, send_count;
    quorvane_cnet_in recv_ring[QV_CNET_RING];
    uint64_t recv_head, recv_count;
    uint8_t read_buf[QV_CNET_READ_LEN];
    uint64_t read_pos, read_left;
    uint8_t *handed_out;
    const char *error;
    uint64_t activity;
    int input_waiting;  // the last pump stopped with input left: the ring filled or the budget ran out
};

[[nodiscard]] quorvane_cnet *quorvane_cnet_new();
void quorvane_cnet_free(quorvane_cnet *cnet);  // null accepted
[[nodiscard]] int quorvane_cnet_connect(quorvane_cnet *cnet, const char *host, const char *port);  // only from state 0
void quorvane_cnet_pump(quorvane_cnet *cnet);
[[nodiscard]] int quorvane_cnet_send(quorvane_cnet *cnet, const uint8_t *bytes, size_t len);  // queues a copy
[[nodiscard]] int quorvane_cnet_recv(quorvane_cnet *cnet, const uint8_t **frame, size_t *len);  // 1 a frame, valid until the next call; 0 none
const char *quorvane_cnet_error(const quorvane_cnet *cnet);
uint32_t quorvane_cnet_get_state(const quorvane_cnet *cnet);  // 4 for null
uint64_t quorvane_cnet_activity(const quorvane_cnet *cnet);   // 0 for null
int      quorvane_cnet_input_waiting(const quorvane_cnet *cnet);  // 1 when input is known to wait beyond the last pump
size_t   quorvane_cnet_send_room(const quorvane_cnet *cnet);  // free send-ring entries; 0 for null
// SHA-256 of the server certificate's public key (its DER SubjectPublicKeyInfo)
// once TLS is up: 0 and 32 bytes, -1 before that or when there is none.
[[nodiscard]] int quorvane_cnet_peer_key_digest(const quorvane_cnet *cnet, uint8_t out[32]);
