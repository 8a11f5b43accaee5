// Outbound-request guard over IPv4 and IPv6 addresses.
#include "n_ssrf.h"

// Each range is decided on whole bytes of the address, most significant first,
// so the table reads the same as the list of ranges it stands for.
static int v4_blocked(const uint8_t *a) {
    const uint8_t b0 = a[0], b1 = a[1], b2 = a[2];
    if (b0 == 0 || b0 == 10 || b0 == 127) return 1;    // this network, private, loopback
    if (b0 >= 224) return 1;                           // multicast, reserved, broadcast
    if (b0 == 100 && b1 >= 64 && b1 <= 127) return 1;  // shared address space 100.64.0.0/10
    if (b0 == 169 && b1 == 254) return 1;              // link-local
    if (b0 == 172 && b1 >= 16 && b1 <= 31) return 1;   // private 172.16.0.0/12
    if (b0 == 192 && b1 == 0 && (b2 == 0 || b2 == 2)) return 1;  // protocol assignments, TEST-NET-1
    if (b0 == 192 && b1 == 168) return 1;              // private
    if (b0 == 198 && (b1 == 18 || b1 == 19)) return 1; // benchmarking 198.18.0.0/15
    if (b0 == 198 && b1 == 51 && b2 == 100) return 1;  // TEST-NET-2
    if (b0 == 203 && b1 == 0 && b2 == 113) return 1;   // TEST-NET-3
    return 0;
}

int n_ssrf_ipv4_allowed(const uint8_t *addr) {
    if (!addr) return 0;
    return !v4_blocked(addr);
}

static bool zero_bytes(const uint8_t *p, int from, int to) {  // bytes [from, to)
    for (int i = from; i < to; i++)
        if (p[i]) return false;
    return true;
}

// The rows are tried in order and the first that applies decides: the forms
// that carry an IPv4 address come before the wide prefixes they fall inside.
int n_ssrf_ipv6_allowed(const uint8_t *a) {
    if (!a) return 0;
    if (zero_bytes(a, 0, 16)) return 0;                              // ::
    if (zero_bytes(a, 0, 15) && a[15] == 1) return 0;                // ::1
    if (zero_bytes(a, 0, 10) && a[10] == 0xFF && a[11] == 0xFF)      // ::ffff:0:0/96, IPv4-mapped
        return !v4_blocked(a + 12);
    if (a[0] == 0x00 && a[1] == 0x64 && a[2] == 0xFF && a[3] == 0x9B) {  // 64:ff9b::/32, NAT64
        if (zero_bytes(a, 4, 12)) return !v4_blocked(a + 12);           // the well-known /96
        return 1;
    }
    if (a[0] == 0x01 && zero_bytes(a, 1, 8)) return 0;               // 100::/64, discard-only
    if (a[0] == 0x20 && a[1] == 0x02) return !v4_blocked(a + 2);     // 2002::/16, 6to4
    if (a[0] == 0x20 && a[1] == 0x01 && a[2] == 0x0D && a[3] == 0xB8) return 0;  // documentation
    if (a[0] == 0xFC || a[0] == 0xFD) return 0;                      // unique local fc00::/7
    if (a[0] == 0xFE && (a[1] & 0xC0) == 0x80) return 0;             // link-local fe80::/10
    if (a[0] == 0xFF) return 0;                                      // multicast
    return 1;
}
