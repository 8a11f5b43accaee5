// Shared by the fuzz targets that read an input off a socket: a socket pair
// whose writing end already holds the input (as much as its buffer takes)
// and is half-closed, so a reader sees the bytes and then the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

inline void fuzz_check(bool ok) {
    if (!ok) __builtin_trap();
}

// sv[0] is the reading end; false when no pair could be made.
inline bool fuzz_socket_with_input(const uint8_t *data, size_t size, int sv[2]) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    size_t done = 0;
    while (done < size) {  // what the socket buffer cannot hold is not part of this run
        ssize_t w = write(sv[1], data + done, size - done);
        if (w <= 0) break;
        done += (size_t)w;
    }
    shutdown(sv[1], SHUT_WR);
    return true;
}
