// Workers in tests: a configuration whose strings outlive the worker, a
// handle that stops it, and a status read.
#pragma once

#include "qv_test_support.h"
#include "worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qvtest {

struct WorkerStop {
    void operator()(quorvane_worker *w) const { quorvane_worker_stop(w); }
};
using WorkerPtr = std::unique_ptr<quorvane_worker, WorkerStop>;

// A worker configuration whose strings live as long as it does; the key store
// and the message store sit in `dir` (with `tag` in their names).
struct Cfg {
    std::string host = "127.0.0.1", port, user, password = "correct horse", keystore, pin, msgstore;
    quorvane_worker_config c{};
    Cfg(const TempDir &dir, std::string server_port, std::string name, const std::string &pin_path, const std::string &tag = "")
        : port(std::move(server_port)), user(std::move(name)), keystore(dir.file("keys" + tag)), pin(pin_path),
          msgstore(dir.file("store" + tag)) {
        c.backoff_initial_ms = 200;
        c.backoff_max_ms = 800;
        c.approval_poll_ms = 100;
    }
    const quorvane_worker_config *get() {
        c.server_host = host.c_str();
        c.server_port = port.c_str();
        c.username = user.c_str();
        c.password = password.c_str();
        c.keystore_path = keystore.c_str();
        c.pin_path = pin.c_str();
        c.msgstore_dir = msgstore.empty() ? nullptr : msgstore.c_str();
        return &c;
    }
    WorkerPtr start() { return WorkerPtr(quorvane_worker_start(get())); }
};

inline quorvane_worker_status status_of(quorvane_worker *w) {
    quorvane_worker_status s{};
    EXPECT_EQ(quorvane_worker_get(w, &s), 0);
    return s;
}

// Polls the status until `code` shows (or a final code does); the texts seen on the way.
inline bool wait_code(quorvane_worker *w, int32_t code, int ms, std::vector<std::string> *seen = nullptr) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        quorvane_worker_status s = status_of(w);
        if (seen && (seen->empty() || seen->back() != s.text)) seen->push_back(s.text);
        if (s.code == code) return true;
        if (code != QV_WS_FAILED && code != QV_WS_UNREACHABLE && (s.code == QV_WS_FAILED || s.code == QV_WS_UNREACHABLE)) {
            ADD_FAILURE() << "ended with " << s.code << ": " << s.text;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    quorvane_worker_status s = status_of(w);
    ADD_FAILURE() << "waited for " << code << ", still " << s.code << ": " << s.text;
    return false;
}

}  // namespace qvtest
