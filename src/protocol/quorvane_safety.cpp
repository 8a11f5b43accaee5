#include "quorvane_safety.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <openssl/evp.h>

#include "quorvane_crypto.h"

namespace {

using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

constexpr size_t IDENTITY_LEN = QV_SAFETY_PUB_LEN + QV_SAFETY_USER_ID_LEN;  // what the first round hashes
constexpr size_t HALF_BYTES   = 30;                                        // rendered into six groups

static_assert(QV_SAFETY_FP_LEN == 64 && 2 * HALF_BYTES <= QV_SAFETY_FP_LEN);

// SHA-512 of a ‖ b on a context the caller reuses, so a fingerprint's 5200
// rounds do not allocate 5200 contexts.
int sha512(EVP_MD_CTX *c, const uint8_t *a, size_t alen, const uint8_t *b, size_t blen, uint8_t out[64]) {
    unsigned int n = 0;
    if (EVP_DigestInit_ex(c, EVP_sha512(), nullptr) != 1 || (alen && EVP_DigestUpdate(c, a, alen) != 1) ||
        (blen && EVP_DigestUpdate(c, b, blen) != 1) || EVP_DigestFinal_ex(c, out, &n) != 1 || n != 64) {
        quorvane_ssl_perror("sha512");
        return -1;
    }
    return 0;
}

int fingerprint(EVP_MD_CTX *c, const uint8_t pub[32], const uint8_t id[16], uint8_t fp[64]) {
    if (sha512(c, pub, QV_SAFETY_PUB_LEN, id, QV_SAFETY_USER_ID_LEN, fp) != 0) return -1;
    for (uint32_t i = 1; i < QV_SAFETY_FP_ROUNDS; i++)
        if (sha512(c, fp, QV_SAFETY_FP_LEN, pub, QV_SAFETY_PUB_LEN, fp) != 0) return -1;
    return 0;
}

// Six groups of five digits from 30 bytes: each 5-byte chunk is a 40-bit
// big-endian number taken modulo 100000.
void render30(const uint8_t b[30], unsigned groups[6]) {
    for (int g = 0; g < 6; g++) {
        uint64_t v = 0;
        for (int i = 0; i < 5; i++) v = v << 8 | b[5 * g + i];
        groups[g] = static_cast<unsigned>(v % 100000);
    }
}

void format_safety(const unsigned groups[12], char out[QV_SAFETY_TEXT_LEN]) {
    char *p = out;
    for (int g = 0; g < 12; g++) {
        unsigned v = groups[g];
        for (int d = 4; d >= 0; d--, v /= 10) p[d] = static_cast<char>('0' + v % 10);  // "%05u"
        p += 5;
        *p++ = g < 11 ? ' ' : '\0';
    }
}

md_ctx_ptr new_ctx() {
    md_ctx_ptr c{EVP_MD_CTX_new(), EVP_MD_CTX_free};
    if (!c) quorvane_ssl_perror("sha512");
    return c;
}

}  // namespace

int quorvane_safety_number(const uint8_t a_pub[32], const uint8_t a_id[16], const uint8_t b_pub[32],
                           const uint8_t b_id[16], char out[72]) {
    if (!a_pub || !a_id || !b_pub || !b_id || !out) return -3;
    md_ctx_ptr c = new_ctx();
    if (!c) return -1;
    uint8_t fa[QV_SAFETY_FP_LEN], fb[QV_SAFETY_FP_LEN];
    if (fingerprint(c.get(), a_pub, a_id, fa) != 0 || fingerprint(c.get(), b_pub, b_id, fb) != 0) return -1;

    // Both sides must agree on which half is whose: order by the identities
    // themselves (key, then user id), never by who asks.
    uint8_t ia[IDENTITY_LEN], ib[IDENTITY_LEN];
    std::memcpy(ia, a_pub, QV_SAFETY_PUB_LEN);
    std::memcpy(ia + QV_SAFETY_PUB_LEN, a_id, QV_SAFETY_USER_ID_LEN);
    std::memcpy(ib, b_pub, QV_SAFETY_PUB_LEN);
    std::memcpy(ib + QV_SAFETY_PUB_LEN, b_id, QV_SAFETY_USER_ID_LEN);
    bool a_first = std::memcmp(ia, ib, IDENTITY_LEN) <= 0;

    unsigned groups[12];
    render30(a_first ? fa : fb, groups);
    render30(a_first ? fb : fa, groups + 6);
    format_safety(groups, out);
    return 0;
}

int quorvane_group_safety_number(const quorvane_safety_member *members, size_t count, char out[72]) {
    if (!members || count < 1 || count > QV_SAFETY_GROUP_MAX || !out) return -3;
    for (size_t i = 0; i < count; i++)
        if (!members[i].identity_pub) return -3;
    md_ctx_ptr c = new_ctx();
    if (!c) return -1;

    uint8_t fps[QV_SAFETY_GROUP_MAX][QV_SAFETY_FP_LEN];
    for (size_t i = 0; i < count; i++)
        if (fingerprint(c.get(), members[i].identity_pub, members[i].user_id, fps[i]) != 0) return -1;

    // Sorting the fingerprints is what makes every member, whatever order its
    // list is in, hash the same bytes.
    uint8_t tmp[QV_SAFETY_FP_LEN];
    for (size_t i = 1; i < count; i++) {
        std::memcpy(tmp, fps[i], QV_SAFETY_FP_LEN);
        size_t j = i;
        for (; j > 0 && std::memcmp(fps[j - 1], tmp, QV_SAFETY_FP_LEN) > 0; j--)
            std::memcpy(fps[j], fps[j - 1], QV_SAFETY_FP_LEN);
        std::memcpy(fps[j], tmp, QV_SAFETY_FP_LEN);
    }
    uint8_t h[QV_SAFETY_FP_LEN];
    if (sha512(c.get(), reinterpret_cast<const uint8_t *>(fps), QV_SAFETY_FP_LEN * count, nullptr, 0, h) != 0) return -1;

    unsigned groups[12];
    render30(h, groups);
    render30(h + HALF_BYTES, groups + 6);
    format_safety(groups, out);
    return 0;
}
