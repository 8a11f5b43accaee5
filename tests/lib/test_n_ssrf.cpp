// Outbound-request guard: every range of the table and its edges as rows,
// the whole IPv4 space against the ranges written as CIDR blocks, and random
// IPv4 and IPv6 addresses against Python's ipaddress module.
#include "n_ssrf.h"
#include "n_url_safe.h"

#include "qv_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

struct AddrCase {
    const char *addr;
    int allowed;
};

std::array<uint8_t, 4> v4(const char *s) {
    std::array<uint8_t, 4> a{};
    EXPECT_EQ(inet_pton(AF_INET, s, a.data()), 1) << s;
    return a;
}

std::array<uint8_t, 16> v6(const char *s) {
    std::array<uint8_t, 16> a{};
    EXPECT_EQ(inet_pton(AF_INET6, s, a.data()), 1) << s;
    return a;
}

// The refused ranges, each with its first and last address and one step
// outside on either side; then the edge cases of the list.
const AddrCase kV4[] = {
    {"0.0.0.0", 0},         {"0.255.255.255", 0},   {"1.0.0.0", 1},
    {"9.255.255.255", 1},   {"10.0.0.0", 0},        {"10.255.255.255", 0},  {"11.0.0.0", 1},
    {"126.255.255.255", 1}, {"127.0.0.0", 0},       {"127.255.255.255", 0}, {"128.0.0.0", 1},
    {"100.63.255.255", 1},  {"100.64.0.0", 0},      {"100.127.255.255", 0}, {"100.128.0.0", 1},
    {"169.253.255.255", 1}, {"169.254.0.0", 0},     {"169.254.255.255", 0}, {"169.255.0.0", 1},
    {"172.15.255.255", 1},  {"172.16.0.0", 0},      {"172.31.255.255", 0},  {"172.32.0.0", 1},
    {"191.255.255.255", 1}, {"192.0.0.0", 0},       {"192.0.0.255", 0},     {"192.0.1.0", 1},
    {"192.0.1.255", 1},     {"192.0.2.0", 0},       {"192.0.2.255", 0},     {"192.0.3.0", 1},
    {"192.167.255.255", 1}, {"192.168.0.0", 0},     {"192.168.255.255", 0}, {"192.169.0.0", 1},
    {"198.17.255.255", 1},  {"198.18.0.0", 0},      {"198.19.255.255", 0},  {"198.20.0.0", 1},
    {"198.51.99.255", 1},   {"198.51.100.0", 0},    {"198.51.100.255", 0},  {"198.51.101.0", 1},
    {"203.0.112.255", 1},   {"203.0.113.0", 0},     {"203.0.113.255", 0},   {"203.0.114.0", 1},
    {"223.255.255.255", 1}, {"224.0.0.0", 0},       {"239.255.255.255", 0}, {"240.0.0.0", 0},
    {"255.255.255.255", 0},
    // the edge cases as listed
    {"10.1.2.3", 0}, {"127.0.0.1", 0}, {"0.1.2.3", 0}, {"100.64.0.1", 0}, {"169.254.1.1", 0}, {"172.16.0.1", 0},
    {"192.0.0.8", 0}, {"192.0.2.1", 0}, {"192.168.1.1", 0}, {"198.18.0.1", 0}, {"198.51.100.7", 0},
    {"203.0.113.9", 0}, {"224.0.0.1", 0}, {"100.128.0.1", 1}, {"172.15.0.1", 1}, {"172.32.0.1", 1},
    {"192.0.1.1", 1}, {"192.169.0.1", 1}, {"198.17.0.1", 1}, {"198.20.0.1", 1}, {"198.51.101.1", 1},
    {"203.0.114.1", 1}, {"1.2.3.4", 1}, {"8.8.8.8", 1},
};

TEST(SsrfV4, RangeEdges) {
    for (const auto &c : kV4) {
        SCOPED_TRACE(c.addr);
        EXPECT_EQ(n_ssrf_ipv4_allowed(v4(c.addr).data()), c.allowed);
    }
    EXPECT_EQ(n_ssrf_ipv4_allowed(nullptr), 0);
}

// Every embedded form is judged by the IPv4 address it carries: each refused
// IPv4 row above, carried in a mapped, NAT64 and 6to4 address, must give the
// IPv4 verdict; IPv4-compatible (::a.b.c.d) and NAT64 outside the /96 are
// allowed as they stand.
TEST(SsrfV6, EmbeddedFormsFollowTheirIPv4Address) {
    for (const auto &c : kV4) {
        SCOPED_TRACE(c.addr);
        const auto a = v4(c.addr);
        std::array<uint8_t, 16> m{}, nat{}, six{}, compat{};
        m[10] = m[11] = 0xFF;
        memcpy(&m[12], a.data(), 4);
        nat[1] = 0x64, nat[2] = 0xFF, nat[3] = 0x9B;
        memcpy(&nat[12], a.data(), 4);
        six[0] = 0x20, six[1] = 0x02;
        memcpy(&six[2], a.data(), 4);
        six[15] = 1;
        memcpy(&compat[12], a.data(), 4);
        EXPECT_EQ(n_ssrf_ipv6_allowed(m.data()), c.allowed) << "mapped";
        EXPECT_EQ(n_ssrf_ipv6_allowed(nat.data()), c.allowed) << "NAT64";
        EXPECT_EQ(n_ssrf_ipv6_allowed(six.data()), c.allowed) << "6to4";
        // ::0.0.0.0 and ::0.0.0.1 are the unspecified and loopback addresses
        bool special = (a[0] | a[1] | a[2]) == 0 && a[3] <= 1;
        EXPECT_EQ(n_ssrf_ipv6_allowed(compat.data()), special ? 0 : 1) << "IPv4-compatible";
    }
}

const AddrCase kV6[] = {
    {"::", 0}, {"::1", 0}, {"::ffff:10.0.0.1", 0}, {"64:ff9b::7f00:1", 0}, {"2002:c0a8:0101::1", 0},
    {"100::1", 0}, {"2001:db8::1", 0}, {"fd00::1", 0}, {"fe80::1", 0}, {"febf::1", 0}, {"ff02::1", 0},
    {"::ffff:1.2.3.4", 1}, {"64:ff9b::102:304", 1}, {"64:ff9b:1::1", 1}, {"2002:0102:0304::1", 1},
    {"100:0:0:1::1", 1}, {"2001:1234::1", 1}, {"fec0::1", 1}, {"::2", 1}, {"::7f00:1", 1},
    // edges of each prefix
    {"::ff", 1}, {"::1:0", 1}, {"0:0:0:0:0:1:ffff:ffff", 1}, {"::fffe:a00:1", 1}, {"::1:ffff:a00:1", 1},
    {"64:ff9a::a00:1", 1}, {"64:ff9b::1:0:a00:1", 1}, {"64:ff9b:0:0:1::a00:1", 1}, {"64:ff9c::7f00:1", 1},
    {"100::", 0}, {"100::ffff:ffff:ffff:ffff", 0}, {"100:0:0:1::", 1}, {"101::1", 1}, {"ff::1", 1},
    {"2002:a00:1::", 0}, {"2002:ac1f:ffff::", 0}, {"2002:ac20::", 1}, {"2002::", 0}, {"2003::1", 1},
    {"2001:db7:ffff::1", 1}, {"2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", 0}, {"2001:db9::1", 1},
    {"2001::1", 1}, {"2001:0:a00:1::1", 1},  // Teredo and the rest of 2001::/16: allowed as written
    {"fbff:ffff::1", 1}, {"fc00::", 0}, {"fdff:ffff::1", 0}, {"fe00::1", 1}, {"fe7f::1", 1},
    {"fe80::", 0}, {"febf:ffff::1", 0}, {"fec0::", 1}, {"feff::1", 1}, {"ff00::", 0}, {"ffff::1", 0},
    {"2606:4700::1111", 1}, {"2a00:1450::1", 1},
};

TEST(SsrfV6, Table) {
    for (const auto &c : kV6) {
        SCOPED_TRACE(c.addr);
        EXPECT_EQ(n_ssrf_ipv6_allowed(v6(c.addr).data()), c.allowed);
    }
    EXPECT_EQ(n_ssrf_ipv6_allowed(nullptr), 0);
}

// The blocked list written as CIDR blocks, matched by mask: a second reading
// of the same ranges that shares nothing with the byte tests in the guard.
struct Cidr {
    uint32_t net;
    int bits;
};
constexpr Cidr kBlockedV4[] = {
    {0x00000000, 8},  {0x0A000000, 8},  {0x7F000000, 8},  {0x64400000, 10}, {0xA9FE0000, 16},
    {0xAC100000, 12}, {0xC0000000, 24}, {0xC0000200, 24}, {0xC0A80000, 16}, {0xC6120000, 15},
    {0xC6336400, 24}, {0xCB007100, 24}, {0xE0000000, 3},
};

bool cidr_blocked(uint32_t a) {
    for (const auto &c : kBlockedV4)
        if ((a & ~(0xFFFFFFFFu >> c.bits)) == c.net) return true;
    return false;
}

// Every block of the list is a /24 or wider, so the table's verdict is taken
// once per /24; the guard is asked about every one of the 2^32 addresses, in
// four threads. Under the sanitizers, whose checks make that walk forty times
// as long, every /24 is still asked about, through its two first, middle and
// last addresses (a block edge always falls between two /24s).
TEST(SsrfV4, WholeAddressSpaceAgainstCidrTable) {
    static const std::vector<int> kEveryLast = [] {
        std::vector<int> v(256);
        for (int i = 0; i < 256; i++) v[i] = i;
        return v;
    }();
    static const std::vector<int> kEdgeLasts = {0, 1, 127, 128, 254, 255};
    const std::vector<int> &lasts = qvtest::kSanitized ? kEdgeLasts : kEveryLast;
    constexpr int kThreads = 4;
    std::atomic<uint64_t> allowed{0}, mismatches{0};
    std::atomic<uint32_t> first_bad{0xFFFFFFFFu};
    auto walk = [&](uint32_t from24, uint32_t to24) {
        uint64_t ok = 0, bad = 0;
        for (uint32_t n24 = from24; n24 < to24; n24++) {
            const int want = cidr_blocked(n24 << 8) ? 0 : 1;
            uint8_t b[4] = {(uint8_t)(n24 >> 16), (uint8_t)(n24 >> 8), (uint8_t)n24, 0};
            for (int last : lasts) {
                b[3] = (uint8_t)last;
                const int got = n_ssrf_ipv4_allowed(b);
                ok += (uint64_t)got;
                if (got != want && bad++ == 0) {
                    uint32_t a = (n24 << 8) | (uint32_t)last, cur = first_bad.load();
                    while (a < cur && !first_bad.compare_exchange_weak(cur, a)) {}
                }
            }
        }
        allowed += ok;
        mismatches += bad;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) threads.emplace_back(walk, (1u << 24) / kThreads * t, (1u << 24) / kThreads * (t + 1));
    for (auto &t : threads) t.join();
    uint32_t fb = first_bad.load();
    EXPECT_EQ(mismatches.load(), 0u) << "first at " << (fb >> 24) << "." << ((fb >> 16) & 255) << "." << ((fb >> 8) & 255)
                                     << "." << (fb & 255);
    // Blocked: 3 /8s, a /10, 2 /16s, a /12, 4 /24s, a /15 and the top 32 /8s.
    uint64_t blocked = 3 * (1ull << 24) + (1ull << 22) + 2 * (1ull << 16) + (1ull << 20) + 4 * (1ull << 8) +
                       (1ull << 17) + 32 * (1ull << 24);
    EXPECT_EQ(allowed.load(), ((1ull << 32) - blocked) / 256 * lasts.size());
}

}  // namespace

namespace {

// Where the guard decides otherwise than ipaddress's is_global on purpose.
// Each rule named by the cross-check script must be listed here; rules that
// follow an embedded IPv4 address carry the IPv4 rule after the colon.
struct Deliberate {
    const char *rule;
    const char *why;
};
const Deliberate kDeliberate[] = {
    {"python", "no difference: is_global (and not is_multicast) decides"},
    {"v4-multicast", "224.0.0.0/4 is global to is_global; the guard refuses everything from 224 up (is_multicast)"},
    {"v4-192.0.0.0/24", "192.0.0.9 and .10 are global to ipaddress; the guard refuses the whole 192.0.0.0/24"},
    {"v6-multicast", "ff00::/8 is refused as a row of its own (is_multicast)"},
    {"mapped", "::ffff:0:0/96 is judged by the IPv4 rules on its last four bytes"},
    {"nat64", "64:ff9b::/96 is judged by the IPv4 rules on its last four bytes"},
    {"6to4", "2002::/16 is judged by the IPv4 rules on bytes 2 to 5 (ipaddress: all private)"},
    {"2001::/23", "only 2001:db8::/32 of 2001::/16 is refused; Teredo and the rest are allowed"},
    {"64:ff9b:1::/48", "64:ff9b: with any of bytes 4 to 11 non-zero is allowed (ipaddress: private)"},
};

bool in_table(const std::string &r) {
    for (const auto &d : kDeliberate)
        if (r == d.rule) return true;
    return false;
}

// "mapped:v4-multicast": an embedding rule, then the rule of the IPv4 address.
std::pair<std::string, std::string> split_rule(const std::string &rule) {
    for (const char *embed : {"mapped:", "nat64:", "6to4:"})
        if (rule.rfind(embed, 0) == 0) return {std::string(embed, strlen(embed) - 1), rule.substr(strlen(embed))};
    return {rule, ""};
}

bool listed(const std::string &rule) {
    auto [head, tail] = split_rule(rule);
    return in_table(head) && (tail.empty() || in_table(tail));
}

// IPv4 addresses near the edges of every range, ours and ipaddress's.
std::array<uint8_t, 4> steered_v4(std::mt19937_64 &rng) {
    static const uint32_t kEdges[] = {0x00000000, 0x0A000000, 0x7F000000, 0x64400000, 0x64800000, 0xA9FE0000,
                                      0xAC100000, 0xAC200000, 0xC0000000, 0xC0000100, 0xC0000200, 0xC0000300,
                                      0xC0A80000, 0xC6120000, 0xC6140000, 0xC6336400, 0xC6336500, 0xCB007100,
                                      0xCB007200, 0xE0000000, 0xF0000000, 0xFFFFFF00, 0xC00000A8, 0x08080800};
    uint32_t base = kEdges[rng() % std::size(kEdges)];
    // within the block, or just below it
    uint32_t a = (rng() & 1) ? base + (uint32_t)(rng() % 512) : base - 1 - (uint32_t)(rng() % 256);
    if (rng() % 4 == 0) a = (uint32_t)rng();
    return {(uint8_t)(a >> 24), (uint8_t)(a >> 16), (uint8_t)(a >> 8), (uint8_t)a};
}

std::array<uint8_t, 16> steered_v6(std::mt19937_64 &rng) {
    std::array<uint8_t, 16> a{};
    for (auto &b : a) b = (uint8_t)rng();
    auto v4 = steered_v4(rng);
    auto zero = [&](int from, int to) {
        for (int i = from; i < to; i++) a[i] = 0;
    };
    switch (rng() % 16) {
        case 0: break;                                                                   // anywhere
        case 1: zero(0, 12); memcpy(&a[12], v4.data(), 4); break;                        // IPv4-compatible
        case 2: zero(0, 10); a[10] = a[11] = 0xFF; memcpy(&a[12], v4.data(), 4); break;  // mapped
        case 3: zero(0, 12); a[1] = 0x64, a[2] = 0xFF, a[3] = 0x9B; memcpy(&a[12], v4.data(), 4); break;  // NAT64
        case 4: a[0] = 0, a[1] = 0x64, a[2] = 0xFF, a[3] = 0x9B; if (rng() & 1) { a[4] = 0, a[5] = 1; } break;
        case 5: a[0] = 1; zero(1, rng() & 1 ? 8 : 7); break;                             // 100::/64 and beside it
        case 6: a[0] = 0x20, a[1] = 0x02; memcpy(&a[2], v4.data(), 4); break;            // 6to4
        case 7: a[0] = 0x20, a[1] = 0x01; a[2] &= 0x01; break;                           // 2001::/23
        case 8: a[0] = 0x20, a[1] = 0x01, a[2] = 0x0D, a[3] = (uint8_t)(0xB7 + rng() % 3); break;
        case 9: a[0] = (uint8_t)(0xFB + rng() % 3); break;                               // fc00::/7 edges
        case 10: a[0] = 0xFE; break;                                                     // fe80::/10, fec0::/10
        case 11: a[0] = 0xFF; break;
        case 12: zero(0, 15); a[15] = (uint8_t)(rng() % 4); break;                       // ::, ::1, ::2, ::3
        case 13: zero(0, 10); a[10] = (uint8_t)(rng() % 2 ? 0xFF : rng()); a[11] = 0xFF; memcpy(&a[12], v4.data(), 4); break;
        case 14: zero(0, 1); break;                                                      // ::/8
        default: a[0] = 0x20, a[1] = (uint8_t)(rng() % 4); break;
    }
    return a;
}

TEST(SsrfPython, RandomAddressesAgainstIpaddress) {
    std::mt19937_64 rng(0x5eed5aa);
    std::vector<std::vector<uint8_t>> addrs;
    for (int i = 0; i < 60000; i++) {
        if (i % 2) {
            auto a = steered_v4(rng);
            addrs.emplace_back(a.begin(), a.end());
        } else {
            auto a = steered_v6(rng);
            addrs.emplace_back(a.begin(), a.end());
        }
    }
    std::vector<std::string> requests;
    for (const auto &a : addrs) requests.push_back("ip " + qvtest::hex(a));
    const auto answers = qvtest::xcheck_words("url_xcheck.py", requests);
    std::map<std::string, int> seen;
    int mismatches = 0;
    for (size_t i = 0; i < addrs.size(); i++) {
        const auto &w = answers[i];
        ASSERT_EQ(w.size(), 3u) << requests[i];
        ASSERT_EQ(w[0], "OK") << requests[i];
        seen[w[2]]++;
        int ours = addrs[i].size() == 4 ? n_ssrf_ipv4_allowed(addrs[i].data()) : n_ssrf_ipv6_allowed(addrs[i].data());
        if (std::to_string(ours) != w[1] && ++mismatches <= 10)
            ADD_FAILURE() << requests[i] << ": guard " << ours << ", ipaddress " << w[1] << " (" << w[2] << ")";
        if (!listed(w[2]) && ++mismatches <= 10) ADD_FAILURE() << "rule not listed here: " << w[2];
    }
    EXPECT_EQ(mismatches, 0);
    // Each listed difference was met by the sample, so none is listed in vain.
    for (const auto &d : kDeliberate) {
        bool met = false;
        for (const auto &[rule, n] : seen) {
            auto [head, tail] = split_rule(rule);
            met = met || head == d.rule || tail == d.rule;
        }
        EXPECT_TRUE(met) << "no sample for " << d.rule << " (" << d.why << ")";
    }
}

}  // namespace

// ---------------------------------------------------------------- in front of real connections

namespace {

// The link fetch's road, as a test drives it: parse, resolve, connect only to
// addresses the guard allows, GET, read the head, follow a Location resolved
// against the current URL, at most four answers. Returns what happened:
// "200 <body>", "guard", "connect", "head", "status N", "redirects", "url".
std::string fetch(std::string url) {
    for (int answer = 0; answer < 4; answer++) {
        N_URL_SAFE u;
        if (!n_url_safe_parse(url.data(), url.size(), &u)) return "url";
        addrinfo hints{}, *list = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        std::string port = std::to_string(u.port);
        if (getaddrinfo(u.host, port.c_str(), &hints, &list) != 0) return "resolve";
        int fd = -1;
        bool any_allowed = false;
        for (addrinfo *a = list; a && fd < 0; a = a->ai_next) {
            int ok = a->ai_family == AF_INET
                         ? n_ssrf_ipv4_allowed(reinterpret_cast<const uint8_t *>(&reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_addr))
                     : a->ai_family == AF_INET6
                         ? n_ssrf_ipv6_allowed(reinterpret_cast<const uint8_t *>(&reinterpret_cast<sockaddr_in6 *>(a->ai_addr)->sin6_addr))
                         : 0;
            if (!ok) continue;
            any_allowed = true;
            fd = socket(a->ai_family, SOCK_STREAM, 0);
            if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
                close(fd);
                fd = -1;
            }
        }
        freeaddrinfo(list);
        if (!any_allowed) return "guard";
        if (fd < 0) return "connect";
        std::string req = std::string("GET ") + u.path + " HTTP/1.1\r\nHost: " + u.host + "\r\nConnection: close\r\n\r\n";
        std::string got;
        if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) == (ssize_t)req.size()) got = qvtest::read_until_closed(fd, qvtest::kWaitMs);
        close(fd);
        N_URL_SAFE_HEAD h;
        if (!n_url_safe_head_parse(got.data(), got.size(), &h)) return "head";
        if (h.status / 100 == 2) return "200 " + got.substr(h.head_len);
        if (h.status / 100 != 3 || !h.location[0]) return "status " + std::to_string(h.status);
        char next[N_URL_SAFE_TEXT_MAX];
        if (!n_url_safe_resolve(url.data(), url.size(), h.location, strlen(h.location), next, sizeof next)) return "url";
        url = next;
    }
    return "redirects";
}

// Runs `body` in a forked child inside a network namespace of its own, whose
// loopback device also carries `addrs`; returns the child's report, or
// "SKIP ..." where namespaces cannot be made (not root).
std::string in_private_network(const std::vector<std::string> &addrs, const std::function<std::string()> &body) {
    return qvtest::report_from_child([&] {
        if (unshare(CLONE_NEWNET) != 0) return std::string("SKIP unshare(CLONE_NEWNET): ") + strerror(errno);
        std::string cmd = "ip link set lo up";
        for (const auto &a : addrs) cmd += " && ip addr add " + a + " dev lo";
        std::string out;
        return qvtest::run_command(cmd + " 2>&1", &out) == 0 ? body() : "SKIP ip: " + out;
    });
}

}  // namespace

// A page server on a public-looking address and on a private one, both on
// this namespace's own loopback device: the page is fetched through the
// guard; the private address is refused directly, after a redirect, and
// after a redirect to an IPv4-mapped or 6to4 form of it; redirects stop at
// the fourth answer.
TEST(SsrfNetns, GuardInFrontOfRealServer) {
    if (!qvtest::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx (Debian package nginx-light) is not installed";
    qvtest::TempDir dir;
    mkdir(dir.file("www").c_str(), 0755);
    mkdir(dir.file("tmp").c_str(), 0755);
    qvtest::write_file(dir.file("www/page.html"), "<title>public page</title>");
    qvtest::write_file(dir.file("www/secret.html"), "<title>private page</title>");
    const std::string tmp = dir.file("tmp");
    const std::string pub = "203.0.114.10", priv = "10.20.30.40";
    qvtest::write_file(
        dir.file("nginx.conf"),
        "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + dir.file("nginx.pid") + ";\nerror_log " +
            dir.file("error.log") + ";\nevents { worker_connections 16; }\nhttp {\n  access_log " + dir.file("access.log") +
            ";\n  client_body_temp_path " + tmp + "/body;\n  proxy_temp_path " + tmp + "/proxy;\n  fastcgi_temp_path " +
            tmp + "/fcgi;\n  uwsgi_temp_path " + tmp + "/uwsgi;\n  scgi_temp_path " + tmp + "/scgi;\n"
            "  types { text/html html; }\n  server {\n    listen " + pub + ":8080;\n    listen " + priv + ":8080;\n"
            "    listen 127.0.0.1:8080;\n    root " + dir.file("www") + ";\n"
            "    location = /to-private { return 302 http://" + priv + ":8080/secret.html; }\n"
            "    location = /to-mapped { return 302 http://[::ffff:" + priv + "]:8080/secret.html; }\n"
            "    location = /to-6to4 { return 302 http://[2002:a14:1e28::1]:8080/secret.html; }\n"
            "    location = /to-loopback { return 302 http://127.0.0.1:8080/secret.html; }\n"
            "    location = /hop1 { return 302 /hop2; }\n    location = /hop2 { return 302 /hop3; }\n"
            "    location = /hop3 { return 302 /page.html; }\n    location = /hop0 { return 302 /hop1; }\n  }\n}\n");
    std::string report = in_private_network({pub + "/32", priv + "/32"}, [&] {
        qvtest::ChildProcess server({"/usr/sbin/nginx", "-p", dir.path, "-c", dir.file("nginx.conf"), "-e", dir.file("error.log")},
                                    dir.file("out.log"));
        auto up = [&] { return fetch("http://" + pub + ":8080/page.html").rfind("200 ", 0) == 0; };
        if (!qvtest::wait_until(up, qvtest::kWaitMs)) return "SKIP nginx did not answer: " + qvtest::read_file(dir.file("error.log"));
        std::string out;
        for (const char *path : {"/page.html", "/to-private", "/to-mapped", "/to-6to4", "/to-loopback", "/hop1", "/hop0"})
            out += std::string(path) + " = " + fetch("http://" + pub + ":8080" + path) + "\n";
        out += "direct = " + fetch("http://" + priv + ":8080/secret.html") + "\n";
        server.stop();
        return out;
    });
    if (report.rfind("SKIP", 0) == 0) GTEST_SKIP() << report;
    EXPECT_NE(report.find("/page.html = 200 <title>public page</title>\n"), std::string::npos) << report;
    for (const char *path : {"/to-private", "/to-mapped", "/to-6to4", "/to-loopback"})
        EXPECT_NE(report.find(std::string(path) + " = guard\n"), std::string::npos) << report;
    EXPECT_NE(report.find("/hop1 = 200 <title>public page</title>\n"), std::string::npos) << report;  // 3 redirects
    EXPECT_NE(report.find("/hop0 = redirects\n"), std::string::npos) << report;                       // a fourth
    EXPECT_NE(report.find("direct = guard\n"), std::string::npos) << report;
    // The private side was never asked for anything.
    EXPECT_EQ(qvtest::read_file(dir.file("access.log")).find("secret"), std::string::npos);
}
