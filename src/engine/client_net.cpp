#include "client_net.h"

#include "quorvane_crypto.h"

#include <cstdlib>
#include <cstring>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace {

constexpr const char *ERR_RESOLVE = "the address could not be resolved or reached";
constexpr const char *ERR_REFUSED = "the server refused the connection or could not be reached";
constexpr const char *ERR_TLS_SETUP = "TLS could not be set up";
constexpr const char *ERR_HANDSHAKE = "the secure handshake failed (is this a Quorvane server?)";

void fail(quorvane_cnet *c, uint32_t state, const char *text) {
    c->state = state;
    if (text) c->error = text;
}

void wipe_free(uint8_t *p, size_t len) {
    if (!p) return;
    quorvane_cleanse(p, len);
    std::free(p);
}

// A heap copy of at least one byte, so an empty frame still has a buffer.
uint8_t *copy_of(const uint8_t *bytes, size_t len) {
    auto *p = static_cast<uint8_t *>(std::malloc(len ? len : 1));
    if (p && len) std::memcpy(p, bytes, len);
    return p;
}

// Frees the frame handed out last and advances the receive ring past it.
void drop_handed_out(quorvane_cnet *c) {
    if (!c->handed_out) return;
    quorvane_cnet_in &e = c->recv_ring[c->recv_head];
    wipe_free(e.buf, e.len);
    e = {};
    c->recv_head = (c->recv_head + 1) % QV_CNET_RING;
    c->recv_count--;
    c->handed_out = nullptr;
}

void start_tls(quorvane_cnet *c) {
    int r = netw_connect_check(c->netw);
    if (r == -11) return;
    if (r != 1) return fail(c, QV_CNET_BROKEN, ERR_REFUSED);
    // Frames are small and each waits for its answer: Nagle would hold them for an ACK.
    netw_setsockopt(c->netw, TCP_NODELAY, 1);
    if (!netw_ssl_start_client(c->netw)) return fail(c, QV_CNET_BROKEN, ERR_TLS_SETUP);
    netw_ssl_set_verify(c->netw, 0);
    netw_ssl_set_versions(c->netw, TLS1_3_VERSION, TLS1_3_VERSION);
    c->tls_started = 1;
}

// false: stop this pump (would block, or the connection failed).
bool send_queued(quorvane_cnet *c) {
    while (c->send_count) {
        quorvane_cnet_out &e = c->send_ring[c->send_head];
        ssize_t n = send_ssl_data_once(c->netw, reinterpret_cast<char *>(e.buf + e.sent),
                                       static_cast<uint32_t>(e.len - e.sent));
        if (n > 0) {
            e.sent += static_cast<size_t>(n);
            c->activity++;
            if (e.sent >= e.len) {
                wipe_free(e.buf, e.len);
                e = {};
                c->send_head = (c->send_head + 1) % QV_CNET_RING;
                c->send_count--;
            }
            continue;
        }
        if (n == -10 || n == -11) {
            c->activity++;
            return true;  // the socket is full: reading may still go on
        }
        fail(c, n == -2 ? QV_CNET_CLOSED : QV_CNET_BROKEN, nullptr);
        return false;
    }
    return true;
}

// Cuts whole frames out of the read buffer into the receive ring. false when
// the ring is full (bytes wait) or the stream broke.
bool cut_frames(quorvane_cnet *c) {
    while (c->read_left) {
        if (c->recv_count >= QV_CNET_RING) {
            c->activity++;
            return false;
        }
        const uint8_t *in = c->read_buf + c->read_pos;
        size_t left = c->read_left;
        const uint8_t *frame = nullptr;
        size_t frame_len = 0;
        int r = quorvane_framebuf_consume(&c->reassembly, &in, &left, &frame, &frame_len);
        c->read_pos = static_cast<uint64_t>(in - c->read_buf);
        c->read_left = left;
        if (r == -2) continue;
        if (r != 0) {
            fail(c, QV_CNET_BROKEN, nullptr);
            return false;
        }
        uint8_t *copy = copy_of(frame, frame_len);
        if (!copy) {
            fail(c, QV_CNET_BROKEN, nullptr);
            return false;
        }
        c->recv_ring[(c->recv_head + c->recv_count) % QV_CNET_RING] = {copy, frame_len};
        c->recv_count++;
    }
    quorvane_cleanse(c->read_buf, sizeof c->read_buf);
    c->read_pos = 0;
    return true;
}

void receive(quorvane_cnet *c) {
    // Bytes left from a full ring are cut first; while they still wait,
    // nothing more is read, so a session that stops draining stops the server.
    c->input_waiting = 0;
    if (c->read_left && !cut_frames(c)) {
        c->input_waiting = c->read_left != 0;
        return;
    }
    // A server writes each small frame as a TLS record of its own, and one
    // read takes one record: reading until the socket would block (within a
    // budget, and only while the ring has room) keeps a backlog from arriving
    // one frame per pump.
    for (size_t got = 0; got < QV_CNET_READ_BUDGET;) {
        if (c->state != QV_CNET_UP) return;
        ssize_t n = recv_ssl_data_once(c->netw, reinterpret_cast<char *>(c->read_buf), static_cast<uint32_t>(sizeof c->read_buf));
        if (n > 0) {
            c->activity++;
            c->read_pos = 0;
            c->read_left = static_cast<uint64_t>(n);
            got += static_cast<size_t>(n);
            if (!cut_frames(c)) {
                c->input_waiting = c->read_left != 0;
                return;
            }
            continue;
        }
        if (n == -10 || n == -11) return;
        return fail(c, n == -2 ? QV_CNET_CLOSED : QV_CNET_BROKEN, nullptr);
    }
    c->input_waiting = 1;  // the budget ran out before the socket would block
}

}  // namespace

quorvane_cnet *quorvane_cnet_new() {
    auto *c = static_cast<quorvane_cnet *>(std::calloc(1, sizeof(quorvane_cnet)));
    if (!c) return nullptr;
    quorvane_framebuf_init(&c->reassembly);
    netw_init_openssl();
    return c;
}

void quorvane_cnet_free(quorvane_cnet *c) {
    if (!c) return;
    if (c->netw) netw_close(&c->netw);
    if (c->reassembly.frame) quorvane_cleanse(c->reassembly.frame, c->reassembly.capacity);
    quorvane_framebuf_free(&c->reassembly);
    for (auto &e : c->send_ring) wipe_free(e.buf, e.len);
    for (auto &e : c->recv_ring) wipe_free(e.buf, e.len);
    quorvane_cleanse(c, sizeof *c);
    std::free(c);
}

int quorvane_cnet_connect(quorvane_cnet *c, const char *host, const char *port) {
    if (!c || c->state != QV_CNET_IDLE) return -1;
    if (c->netw) netw_close(&c->netw);
    if (host && port && netw_connect_nonblock(&c->netw, host, port, 0) == 1 && c->netw) {
        c->state = QV_CNET_CONNECTING;
        c->tls_started = 0;
        return 0;
    }
    fail(c, QV_CNET_BROKEN, ERR_RESOLVE);
    return -1;
}

void quorvane_cnet_pump(quorvane_cnet *c) {
    if (!c) return;
    if (c->state == QV_CNET_CONNECTING && !c->tls_started) {
        start_tls(c);
        if (!c->tls_started) return;
    }
    if (c->state == QV_CNET_CONNECTING) {
        int r = netw_ssl_handshake_once(c->netw, nullptr);
        if (r == -10 || r == -11) return;
        if (r != 1) return fail(c, QV_CNET_BROKEN, ERR_HANDSHAKE);
        c->state = QV_CNET_UP;
    }
    if (c->state != QV_CNET_UP) return;
    if (!send_queued(c)) return;
    receive(c);
}

int quorvane_cnet_send(quorvane_cnet *c, const uint8_t *bytes, size_t len) {
    if (!c) return -1;
    c->activity++;
    if (c->send_count >= QV_CNET_RING || (!bytes && len)) return -1;
    uint8_t *copy = copy_of(bytes, len);
    if (!copy) return -1;
    c->send_ring[(c->send_head + c->send_count) % QV_CNET_RING] = {copy, len, 0};
    c->send_count++;
    return 0;
}

size_t quorvane_cnet_send_room(const quorvane_cnet *c) {
    return c && c->send_count < QV_CNET_RING ? QV_CNET_RING - c->send_count : 0;
}

int quorvane_cnet_recv(quorvane_cnet *c, const uint8_t **frame, size_t *len) {
    if (!c) return 0;
    drop_handed_out(c);
    if (!c->recv_count || !frame || !len) return 0;
    quorvane_cnet_in &e = c->recv_ring[c->recv_head];
    c->handed_out = e.buf;
    *frame = e.buf;
    *len = e.len;
    return 1;
}

const char *quorvane_cnet_error(const quorvane_cnet *c) {
    if (!c) return nullptr;
    if (c->error) return c->error;
    if (c->state == QV_CNET_CLOSED) return "the server closed the connection";
    if (c->state == QV_CNET_BROKEN) return "the connection broke";
    return nullptr;
}

uint32_t quorvane_cnet_get_state(const quorvane_cnet *c) { return c ? c->state : QV_CNET_BROKEN; }

uint64_t quorvane_cnet_activity(const quorvane_cnet *c) { return c ? c->activity : 0; }
int quorvane_cnet_input_waiting(const quorvane_cnet *c) { return c && c->state == QV_CNET_UP && c->input_waiting; }

int quorvane_cnet_peer_key_digest(const quorvane_cnet *c, uint8_t out[32]) {
    if (!c || !out || !c->netw || !c->netw->ssl || c->state < QV_CNET_UP) return -1;
    X509 *cert = SSL_get1_peer_certificate(c->netw->ssl);
    if (!cert) return -1;
    unsigned char *der = nullptr;
    int der_len = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
    unsigned int md_len = 0;
    int ok = der_len > 0 && EVP_Digest(der, static_cast<size_t>(der_len), out, &md_len, EVP_sha256(), nullptr) == 1 && md_len == 32;
    OPENSSL_free(der);
    X509_free(cert);
    return ok ? 0 : -1;
}
