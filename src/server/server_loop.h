// The server's one event loop: a non-blocking TLS 1.3 listener, every
// connection's TLS handshake, frame reassembly, handling and bounded send
// queue, driven by epoll on one thread. SIGTERM or SIGINT ends it after the
// turn's transaction is committed and the connections are closed.
#pragma once

#include "server_handlers.h"

#include <string>

constexpr size_t   QVS_SEND_QUEUE_MAX = 4u << 20;   // a client that reads nothing costs at most this
constexpr uint64_t QVS_HANDSHAKE_LIMIT_MS = 30000;  // from accept to signed in (or a final answer)
constexpr uint64_t QVS_IDLE_LIMIT_MS = 120000;      // signed in: clients ping every 30 s
constexpr int      QVS_LISTEN_BACKLOG = 1024;        // a burst of connections waits in the kernel, not refused by it
constexpr int      QVS_MAX_CONNECTIONS = 4096;       // when full, the oldest not signed in makes room for a new one
constexpr size_t   QVS_CONNS_PER_ADDRESS = 256;      // from one peer address,
constexpr size_t   QVS_PRESIGNIN_PER_ADDRESS = 128;  // of them not signed in yet
constexpr size_t   QVS_CONNS_PER_ACCOUNT = 16;       // signed in to one account; past it a sign-in is refused as rate limited
constexpr size_t   QVS_ACCOUNT_HELD_MAX = 16u << 20; // what one account's connections may hold: partial frames, unread, queued
constexpr uint32_t QVS_PRESIGNIN_FRAME_MAX = 4096;  // every handshake request is far smaller; larger is dropped unread
constexpr size_t   QVS_TURN_READ_MAX = 128u << 10;  // bytes read from one connection per loop turn
constexpr size_t   QVS_TURN_FRAMES_MAX = 1024;      // frames handled for one connection per loop turn
constexpr size_t   QVS_TURN_PUSHES_MAX = 8192;      // and the pushes they may make; the rest waits a turn
constexpr uint64_t QVS_TURN_WORK_MAX = 800;         // and the work of its frames and sync steps (qvs_store_work, plus one
                                                    // per frame and per QVS_WORK_BYTES taken in or built): about 2 ms;
                                                    // what one frame spends past it is owed from the next turns
constexpr size_t   QVS_RECV_FREE = 4096;            // a partial frame up to this costs its account nothing

struct qvs_server_options {
    std::string data_dir;
    std::string host = "127.0.0.1";
    std::string port = "7420";
    uint64_t registrations_per_address = QVS_REGISTRATIONS_PER_ADDRESS;  // a day; 0: no bound
    qvs_knobs knobs{};
};

[[nodiscard]] int qvs_server_run(const qvs_server_options &opts);  // 0 after a clean stop, 1 when it could not start
