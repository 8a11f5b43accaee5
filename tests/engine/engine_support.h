// Helpers of the engine and server tests: the real server binary started on a
// free loopback port with a scratch data directory, and a scripted TLS 1.3
// peer on loopback for what the real server must never do (a changed key,
// answers in odd record shapes, frames it never sends).
#pragma once

#include "qv_test_support.h"

#include <functional>
#include <map>
#include <memory>
#include <openssl/ssl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qvtest {

// A directory where a store writes its next copy of `path`: the write fails until it goes.
struct Blocker {
    std::string tmp;
    explicit Blocker(const std::string &path) : tmp(path + ".tmp") {
        EXPECT_EQ(mkdir(tmp.c_str(), 0700), 0);
        EXPECT_EQ(mkdir((tmp + "/x").c_str(), 0700), 0);
    }
    ~Blocker() {
        rmdir((tmp + "/x").c_str());
        rmdir(tmp.c_str());
    }
};

bool port_accepts(const std::string &port);

// The server program: the test build (with knobs from `env`) or the product build.
using Knobs = std::map<std::string, std::string>;

struct ServerProc {
    TempDir dir;
    std::string port;
    std::string data;
    std::map<std::string, std::string> env;
    bool product = false;
    // New accounts one address may make a day: the tests register many from
    // loopback, so the operator's bound is raised unless a test sets it
    // (negative: the option is not given, and the server's default holds).
    int64_t registrations_per_address = 100000;
    std::unique_ptr<ChildProcess> proc;
    explicit ServerProc(std::map<std::string, std::string> knobs = {}, bool product_binary = false);
    ~ServerProc();
    bool start(bool same_port = false);  // waits until it accepts connections; a restart may keep the port
    int stop();       // SIGTERM; the wait status
    std::string pin_path() const { return dir.file("pin"); }
};

// One accepted, TLS-established connection of the scripted peer.
struct PeerConn {
    SSL *ssl = nullptr;
    int fd = -1;
    bool read_frame(std::vector<uint8_t> *frame);     // false on close, or nothing for kWaitMs
    bool write_record(const std::vector<uint8_t> &bytes);  // one TLS record
    bool write_split(const std::vector<uint8_t> &bytes);   // one record per byte
    void reset();                                          // RST instead of a close
};

// Listens on a free loopback port with a fresh self-signed certificate, takes
// one connection, completes TLS and runs the script on it in its own thread.
// Its close waits for the client's: close the client before join().
struct TlsPeer {
    TempDir dir;
    std::string port;
    std::function<void(PeerConn &)> script;
    explicit TlsPeer(std::function<void(PeerConn &)> fn, const std::string &cert_dir = "");
    ~TlsPeer();
    void join();
  private:
    std::thread thr_;
    void *listener_ = nullptr;
    SSL_CTX *ctx_ = nullptr;
};

std::vector<uint8_t> frame_of(uint8_t type, const std::vector<uint8_t> &payload);
std::vector<uint8_t> tlv(uint8_t tag, const std::vector<uint8_t> &value);
std::vector<uint8_t> tlv_text(uint8_t tag, const std::string &value);
std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts);

}  // namespace qvtest
