// Byte helpers the protocol modules share: big-endian integers as the formats
// store them, text seen as bytes, and a stack secret wiped however its scope is
// left. Internal to src/protocol; no module's public header includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include <openssl/crypto.h>

namespace qv_bytes {

// A fixed-size secret on the stack; wipe() marks its last use on the success
// path, the destructor covers every other way out.
template <size_t N> struct secret_buf {
    uint8_t b[N];
    secret_buf() = default;
    secret_buf(const secret_buf &) = delete;
    secret_buf &operator=(const secret_buf &) = delete;
    ~secret_buf() { wipe(); }
    void wipe() { OPENSSL_cleanse(b, N); }
};

// A secret too large for the stack (session records, plaintexts): zeroed heap
// bytes, wiped before they are released however the scope is left.
struct secret_vec {
    std::vector<uint8_t> b;
    explicit secret_vec(size_t n) : b(n) {}
    secret_vec(const secret_vec &) = delete;
    secret_vec &operator=(const secret_vec &) = delete;
    ~secret_vec() { OPENSSL_cleanse(b.data(), b.size()); }
    uint8_t *data() { return b.data(); }
    const uint8_t *data() const { return b.data(); }
    size_t size() const { return b.size(); }
};

// Big-endian unsigned of `width` bytes (1 to 8), most significant byte first.
constexpr void put_be(uint8_t *p, uint64_t v, size_t width) {
    for (size_t i = width; i-- > 0; v >>= 8) p[i] = static_cast<uint8_t>(v);
}

constexpr uint64_t get_be(const uint8_t *p, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; i++) v = (v << 8) | p[i];
    return v;
}

constexpr void     put_be32(uint8_t *p, uint32_t v) { put_be(p, v, 4); }
constexpr void     put_be64(uint8_t *p, uint64_t v) { put_be(p, v, 8); }
constexpr uint32_t get_be32(const uint8_t *p) { return static_cast<uint32_t>(get_be(p, 4)); }
constexpr uint64_t get_be64(const uint8_t *p) { return get_be(p, 8); }

// Passwords, user names and labels go to the byte functions as they are, no terminator.
inline const uint8_t *byte_ptr(const char *s) { return reinterpret_cast<const uint8_t *>(s); }
inline const uint8_t *byte_ptr(std::string_view s) { return byte_ptr(s.data()); }

}  // namespace qv_bytes
