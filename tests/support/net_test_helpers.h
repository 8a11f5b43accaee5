// Loopback helpers shared by the network suites: the monotonic clock, log
// line counting, kernel listeners that stand for silent peers, refused ports,
// free port numbers, connections from other loopback addresses and a
// process's memory figures.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <vector>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace qvnettest {

inline long long now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline int count_lines(const std::string &text, const std::string &prefix) {
    int n = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        if (text.compare(pos, prefix.size(), prefix) == 0) n++;
        pos = end + 1;
    }
    return n;
}

// A loopback listener owned by the test: the kernel completes connections to
// it whether or not we accept, so it stands for a silent peer.
struct Listener {
    int fd = -1;
    int port = 0;
    explicit Listener(int family = AF_INET, int backlog = 8) {
        fd = socket(family, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_storage ss{};
        socklen_t len;
        if (family == AF_INET) {
            auto *a = reinterpret_cast<sockaddr_in *>(&ss);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        } else {
            auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        }
        if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd, backlog) != 0) return;
        getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in *>(&ss)->sin_port
                                       : reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    }
    ~Listener() {
        if (fd >= 0) close(fd);
    }
    int accept_one(int ms) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return -1;
        return accept(fd, nullptr, nullptr);
    }
};

// A port on 127.0.0.1 that is bound but not listening: connects to it are refused.
struct ClosedPort {
    int fd = -1;
    int port = 0;
    ClosedPort() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr *>(&a), len);
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~ClosedPort() { close(fd); }
};

// The local port of a bound socket, as text.
inline std::string local_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return std::to_string(ntohs(a.sin_port));
}

inline int free_port() {
    Listener l;
    return l.port;
}

// A plain TCP connection to a loopback port from the local address `from`
// (another 127.x.y.z: servers count connections per address); -1 when refused.
inline int connect_from(int port, const std::string &from) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in src{}, dst{};
    src.sin_family = dst.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &src.sin_addr);
    const int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);  // the port is picked by connect: binds stay fast
    dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dst.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&dst), sizeof dst) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

// A memory figure of a process from /proc (VmRSS now, VmHWM its peak), in KiB; -1 when unreadable.
inline long proc_kib(pid_t pid, const char *field) {
    FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    const std::string want = std::string(field) + ": %ld kB";
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, want.c_str(), &kib) == 1) break;
    std::fclose(f);
    return kib;
}

// Every descriptor number up to `floor` taken by a copy of /dev/null, so the
// next socket lands above select()'s FD_SETSIZE; all undone on destruction.
// `skip` says why not when the descriptor limit cannot be raised that far.
struct HighFds {
    std::string skip;
    rlimit old{};
    std::vector<int> fillers;
    int devnull = -1;
    explicit HighFds(int floor = 1600) {
        getrlimit(RLIMIT_NOFILE, &old);
        rlimit raised = old;
        if (raised.rlim_cur < (rlim_t)floor + 64) raised.rlim_cur = std::min<rlim_t>(raised.rlim_max, 4096);
        if (raised.rlim_cur < (rlim_t)floor + 64 || setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            skip = "RLIMIT_NOFILE hard limit too low";
            return;
        }
        devnull = open("/dev/null", O_RDONLY);
        for (int fd = 0; fd <= floor; fd++)
            if (fcntl(fd, F_GETFD) == -1 && dup2(devnull, fd) == fd) fillers.push_back(fd);
    }
    ~HighFds() {
        for (int fd : fillers) close(fd);
        if (devnull >= 0) close(devnull);
        setrlimit(RLIMIT_NOFILE, &old);
    }
    HighFds(const HighFds &) = delete;
    HighFds &operator=(const HighFds &) = delete;
};

}  // namespace qvnettest
