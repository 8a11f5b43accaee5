// Outbound-request guard: decides whether a resolved address may be connected
// to when the address came from someone else's text (a link in a message).
// Private, loopback, link-local, shared, documentation, benchmarking,
// multicast and reserved ranges are refused; IPv6 forms that carry an IPv4
// address (mapped, NAT64 /96, 6to4) are judged by that address.
// Results: 1 allowed, 0 refused (a null pointer is refused). Pure functions:
// no allocation, no logging, no state.
#pragma once

#include <cstdint>

[[nodiscard]] int n_ssrf_ipv4_allowed(const uint8_t *addr);  // 4 bytes, network order (sin_addr)
[[nodiscard]] int n_ssrf_ipv6_allowed(const uint8_t *addr);  // 16 bytes, network order (sin6_addr)
