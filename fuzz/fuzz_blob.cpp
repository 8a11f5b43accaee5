// Blobs as the server hands them over, one target per entry (FUZZ_BLOB):
// - chunk: [index 4][last 1][tag 16][ciphertext], a single chunk of up to 64 KiB;
// - stream: [chunk count 4][digest 64][sealed stream], where the chunk count
//   and the stream length are the server's numbers, checked against each other
//   before anything is decrypted.
// What opens seals again, under the same key, salt and id, to exactly the
// input (and, for a stream, to the same count and digest); a failed open
// leaves nothing decrypted in the output and its length untouched.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_fixed.h"
#include "quorvane_blob.h"

namespace {

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

[[maybe_unused]] void fuzz_chunk(const uint8_t *data, size_t size) {
    constexpr size_t head = 4 + 1 + QV_TAG_LEN;
    if (size < head) return;
    const uint32_t index = be32(data);
    const int last = data[4] & 1;
    const uint8_t *tag = data + 5, *ct = data + head;
    const size_t len = size - head;
    std::vector<uint8_t> pt(len + 1, 0xAA);
    const int rc = quorvane_blob_chunk_open(fuzz_blob_key(), fuzz_blob_salt(), fuzz_blob_id(), index, last,
                                            len ? ct : nullptr, len, tag, pt.data());
    if (len > QV_BLOB_CHUNK_LEN) {
        fuzz_check(rc == -3 && fuzz_wiped_or_untouched(pt.data(), pt.size()));
        return;
    }
    if (rc != 0) {
        fuzz_check((rc == -2 || rc == -1) && fuzz_wiped_or_untouched(pt.data(), pt.size()));
        return;
    }
    std::vector<uint8_t> again(len + 1);
    uint8_t tag2[QV_TAG_LEN];
    fuzz_check(quorvane_blob_chunk_seal(fuzz_blob_key(), fuzz_blob_salt(), fuzz_blob_id(), index, last, pt.data(), len,
                                        again.data(), tag2) == 0);
    fuzz_check(memcmp(again.data(), ct, len) == 0 && memcmp(tag2, tag, sizeof tag2) == 0);
}

[[maybe_unused]] void fuzz_stream(const uint8_t *data, size_t size) {
    constexpr size_t head = 4 + QV_BLOB_DIGEST_LEN;
    if (size < head) return;
    const uint32_t count = be32(data);
    const uint8_t *digest = data + 4, *sealed = data + head;
    const size_t len = size - head;
    std::vector<uint8_t> out(len + 1, 0xAA);
    size_t out_len = 99999;
    const int rc = quorvane_blob_stream_open(fuzz_blob_key(), fuzz_blob_salt(), fuzz_blob_id(), len ? sealed : nullptr,
                                             len, count, digest, out.data(), out.size(), &out_len);
    if (rc != 0) {
        fuzz_check((rc == -2 || rc == -3 || rc == -1) && out_len == 99999 &&
                   fuzz_wiped_or_untouched(out.data(), out.size()));
        return;
    }
    fuzz_check(out_len <= len && count == quorvane_blob_chunk_count(out_len) &&
               quorvane_blob_sealed_len(out_len) == len);
    std::vector<uint8_t> again(len + 1);
    size_t n = 0;
    uint32_t count2 = 0;
    uint8_t digest2[QV_BLOB_DIGEST_LEN];
    fuzz_check(quorvane_blob_stream_seal(fuzz_blob_key(), fuzz_blob_salt(), fuzz_blob_id(), out.data(), out_len,
                                         again.data(), again.size(), &n, &count2, digest2) == 0);
    fuzz_check(n == len && memcmp(again.data(), sealed, len) == 0 && count2 == count &&
               memcmp(digest2, digest, sizeof digest2) == 0);
}

}  // namespace

#define FUZZ_CALL2(name) fuzz_##name
#define FUZZ_CALL(name) FUZZ_CALL2(name)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FUZZ_CALL(FUZZ_BLOB)(data, size);
    return 0;
}
